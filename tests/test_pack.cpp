// velkan-pack through its binary: one table per command.
#include "crc32.h"
#include "support/process.h"
#include "velkan_writer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#ifdef VF_HAVE_ZLIB
#include <zlib.h>
#endif

namespace vw = velkan_writer;
using args = std::vector<std::string>;
using nlohmann::json;

namespace {

// The CRC-32 as zlib computes it (on the host; a cross build, whose own folds
// with NEON, gets it bit by bit).
uint32_t crc_of(const std::string &bytes) {
    const auto *p = reinterpret_cast<const uint8_t *>(bytes.data());
#ifdef VF_HAVE_ZLIB
    return static_cast<uint32_t>(crc32(0, p, static_cast<uInt>(bytes.size())));
#else
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < bytes.size(); i++) {
        crc ^= p[i];
        for (int bit = 0; bit < 8; bit++)
            crc = crc >> 1 ^ (crc & 1 ? 0xEDB88320u : 0);
    }
    return ~crc;
#endif
}

std::string hex(uint32_t value) {
    char text[12];
    snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

// One run: the arguments after the command's own, the exit status, a part of
// stdout (all of it when exact) and a part of stderr (none: stderr is empty).
struct run {
    args a;
    int status;
    std::string out, err;
};

class Pack : public ::testing::Test {
  protected:
    temp_dir dir;
    std::string abc = dir.write("abc", "abc"); // checksum 0x9d02, 128 bytes with filler
    std::string big = dir.write("big", std::string(20000, 'K'));
    std::string out = dir.path() + "/fw.velkan";

    tool_result expect(args a, const run &r, bool exact = false) {
        a.insert(a.end(), r.a.begin(), r.a.end());
        auto res = run_pack(a);
        std::string shown = (a.empty() ? "" : a.back().substr(0, 60)) + "\n";
        EXPECT_EQ(res.status, r.status) << shown << res.err;
        EXPECT_TRUE(exact ? res.out == r.out : res.out.find(r.out) != std::string::npos)
            << shown << res.out;
        EXPECT_TRUE(r.err.empty() ? res.err.empty() : res.err.find(r.err) != std::string::npos)
            << shown << res.err;
        return res;
    }
    long entries() const {
        return std::distance(std::filesystem::directory_iterator(dir.path()), {});
    }
    // A container whose image size is not a multiple of 128.
    std::string unaligned(const std::string &name) {
        vw::image image(name, "abc");
        image.exact_size = true;
        return vw::container{"", {}, {image}}.encode();
    }
};

TEST_F(Pack, Create) {
    std::string k = "kernel=" + abc, warning = "\nvelkan-pack: warning: image ", builds25;
    for (int i = 0; i < 25; i++)
        builds25 += ":H"; // with the CRC-32, over the header budget
    // clang-format off
    const run rows[] = {
        {{k, "initfs=" + big}, 0, "", ""},
        {{k + ",valid=A:1", k}, 0, "", ""},
        {{"pirl=" + abc}, 0, "", "image 1 'pirl': the flasher flashes only kernel and initfs\n"},
        {{k + ",valid=A B:1 2"}, 0, "", "product 'A B' holds white space and never matches /proc/component_version" + warning + "1 'kernel': HW build '1 2' holds white space"},
        {{k + ",valid=A:1", k + ",valid=A:1:2", k + ",valid=A", k + ",valid=A"}, 0, "", "image 2 'kernel' is never flashed on A:1: the flasher picks image 1 there" + warning + "4 'kernel' is never flashed on every A device: the flasher picks image 3 there\n"},
        {{k, k}, 0, "", "image 2 'kernel' is never flashed on every device: the flasher picks image 1 there\n"},
        {{k + ",colour=red"}, 2, "", "unknown key 'colour'\nUsage: velkan-pack create OUT"},
        {{k + ",partition=1:2"}, 2, "", "TYPE:MODE:SIZE expected"},
        {{k + ",valid=ABCDEFGHIJKLMNOPQ"}, 2, "", "longer than 16"},
        {{"kernelkernelk=" + abc}, 2, "", "longer than 12"},
        {{k + ",version=" + std::string(256, 'v')}, 2, "", "version of image"},
        {{k + ",version=" + std::string(255, 'v') + ",valid=P" + builds25}, 2, "", "take 516 bytes of the header budget of 510"},
        {{"kernel=" + dir.path() + "/missing"}, 1, "", "missing: No such file"},
        {{"kernel=" + out}, 1, "", "fw.velkan: is also an input; not overwritten"},
        {{"initfs=" + big}, 1, "", "fw.velkan: File too large"}, // with writes limited to 8 KiB
    };
    // clang-format on
    rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit small = {8192, saved.rlim_max};
    signal(SIGXFSZ, SIG_IGN);
    for (const auto &r : rows) {
        vw::write_file(out, "old");
        long before = entries();
        if (&r == std::end(rows) - 1)
            setrlimit(RLIMIT_FSIZE, &small);
        expect({"create", out}, r);
        setrlimit(RLIMIT_FSIZE, &saved);
        // OUT is replaced whole on success and left as it was otherwise.
        EXPECT_EQ(vw::read_file(out) != "old", r.status == 0) << r.err;
        EXPECT_EQ(entries(), before) << "nothing left behind";
    }
}

TEST_F(Pack, List) {
    // clang-format off
    expect({"create", out, "--release", "R2.1", "kernel=" + abc + ",version=2.6.28,valid=VX-510:B101:B204,valid=VX-440,partition=1:2:0x20000", "initfs=" + big}, {{}, 0, "", ""});
    std::string odd = dir.write("odd.velkan", unaligned("initfs"));
    const std::string head = "SW version in image: R2.1\n\nImage 'kernel', size 128 bytes\n\tValid for VX-510: B101, B204\n\tValid for VX-440\n\tVersion 2.6.28\n";
    const std::string tail = "Image 'initfs', size 20096 bytes\n'kernel': data at offset 144, 128 bytes, checksum 0x9d02\n'initfs': data at offset 308, 20096 bytes, checksum 0x0000\n2 image(s) in 20404 bytes\n";
    const run rows[] = {
        {{out}, 0, head + "Image 'initfs', size 20096 bytes\n2 image(s) in 20404 bytes\n", ""},
        {{"-v", out}, 0, head + tail, ""},
        {{"-vv", out}, 0, head + "Partition: type 1, flash mode 2, size 131072\n" + tail, ""},
        {{"-v", odd}, 0, "Image 'initfs', size 128 bytes\n'initfs': data at offset 55, 3 bytes (128 with filler), checksum 0x9d02\n1 image(s) in 183 bytes\n", "WARNING: Image 'initfs' not aligned"},
        {{dir.path() + "/missing"}, 1, "", "missing: No such file"},
    };
    // clang-format on
    for (const auto &r : rows)
        expect({"list"}, r, true);

    json doc = json::parse(expect({"list", "--json", out}, {{}, 0, "", ""}).out);
    EXPECT_EQ(doc, json::parse(R"({"file_size": 20404, "release": "R2.1",
        "extent": {"images": 2, "file_length": 20404}, "images": [
        {"name": "kernel", "data_offset": 144, "size": 128, "data_size": 128, "checksum": 40194,
         "crc32": )" + std::to_string(crc_of(vw::padded("abc"))) +
                               R"(,
         "version": "2.6.28", "valid_for": [{"product": "VX-510", "hw_builds": ["B101", "B204"]},
         {"product": "VX-440", "hw_builds": []}], "partitions": [{"type": 1, "mode": 2, "size": 131072}]},
        {"name": "initfs", "data_offset": 308, "size": 20096, "data_size": 20096, "checksum": 0,
         "crc32": )" + std::to_string(crc_of(vw::padded(std::string(20000, 'K')))) +
                               R"(,
         "version": null, "valid_for": [], "partitions": []}]})"));
    EXPECT_TRUE(json::parse(run_pack({"list", "--json", odd}).out)["release"].is_null());
}

TEST_F(Pack, Verify) {
    expect({"create", out, "kernel=" + abc, "initfs=" + big}, {{}, 0, "", ""});
    const std::string good = vw::read_file(out);
    const size_t data = 55; // the kernel's data area: abc and filler
    auto changed = [&](std::initializer_list<std::pair<size_t, char>> bytes) {
        std::string file = good;
        for (auto [at, value] : bytes)
            file[data + at] = value;
        return file;
    };
    auto crcs = [&](const std::string &file) {
        return "CRC-32 " + hex(crc_of(good.substr(data, 128))) + " in the header, " +
               hex(crc_of(file.substr(data, 128))) + " over data and filler\n";
    };
    // Faults that the 16-bit checksum misses: the same bit flipped in two
    // bytes at even offsets, and two words swapped.
    const std::string lane = changed({{0, 'a' ^ 1}, {2, 'c' ^ 1}});
    const std::string swapped = changed({{0, 'c'}, {1, '\xFF'}, {2, 'a'}, {3, 'b'}});
    vw::container old{"", {}, {vw::image("kernel", "abc")}};
    old.integrity = false;
    vw::image short_list("kernel", "abc");
    short_list.extra = {vw::subblock('2', std::string(20, 'P'))};
    const std::string kernel_ok = "image 1 'kernel': 128 bytes, checksum 0x9d02, CRC-32 " +
                                  hex(crc_of(good.substr(data, 128))) + ": ok\n";
    const std::string bad = ": BAD\nimage 2 'initfs'", head = "image 1 'kernel': ";
    const std::pair<std::string, run> rows[] = {
        {good, {{}, 0, kernel_ok, ""}},
        {changed({{0, 'a' ^ 1}}), {{}, 1, bad, head + "checksum 0x9d02 in the header, 0x9d03"}},
        {lane, {{}, 1, bad, head + crcs(lane)}},
        {swapped, {{}, 1, bad, head + crcs(swapped)}},
        {good.substr(0, data + 128),
         {{},
          1,
          kernel_ok + "extent: 2 image(s) in 20315 bytes: BAD\n1 image(s), 0 damaged\n",
          "the extent subblock gives 2 image(s) in 20315 bytes, the file holds 1 in 183: cut"}},
        {old.encode(),
         {{}, 0, "no extent subblock: a cut or extended file is not detected\nno CRC-32", ""}},
        {unaligned("kernel"), {{}, 1, "", "data size 3 is not a multiple of 128"}},
        {vw::container{"", {}, {short_list}}.encode(),
         {{}, 1, "", "product / HW rev subblock 1 of 20 bytes is malformed"}},
        {good.substr(0, good.size() - 1), {{}, 1, "", "not a container the flasher reads"}},
    };
    for (const auto &[container, r] : rows)
        expect({"verify", dir.write("v.velkan", container)}, r);
}

TEST(Crc32, AsZlibComputesIt) {
    std::string bytes;
    for (int i = 0; i < 1000; i++)
        bytes += static_cast<char>(i * 7 + i / 13);
    // Every length up to a few slices or folds, from every alignment, in two pieces.
    for (size_t start = 0; start < 8; start++)
        for (size_t length = 0; length < 200; length++) {
            std::string piece = bytes.substr(start, length);
            const uint8_t *p = reinterpret_cast<const uint8_t *>(piece.data());
            uint32_t crc = crc32_update(crc32_update(0, p, length / 3), p + length / 3,
                                        static_cast<uint32_t>(length - length / 3));
            EXPECT_EQ(crc, crc_of(piece)) << start << "+" << length;
        }
    EXPECT_EQ(crc_of("123456789"), 0xCBF43926u) << "the check value of CRC-32";
}

TEST_F(Pack, Check) {
    // clang-format off
    std::string kernel = dir.write("kernel", std::string(130560, 'k')); // 128 KiB - 512
    std::string initfs = dir.write("initfs", std::string(16384, 'i'));
    expect({"create", out, "kernel=" + kernel + ",valid=P:H1", "kernel=" + abc + ",valid=P,version=2", "initfs=" + initfs + ",valid=P:H1"}, {{}, 0, "", ""});
    const std::string k1 = "kernel: image 1, 130560 bytes; ", i3 = "initfs: image 3, 16384 bytes; ";
    const std::string k2 = "kernel: image 2, 128 bytes, version 2; partition not given\n";
    const run rows[] = {
        {{"P", "--hw", "H1"}, 0, k1 + "partition not given\n" + i3 + "partition not given\n", ""},
        {{"P", "--hw", "H2"}, 1, k2 + "initfs: none for P:H2\n", "no initfs image for P:H2"},
        {{"P", "--hw", "H2", "--only", "kernel"}, 0, k2, ""},
        {{"Q", "--hw", "H1"}, 1, "kernel: none for Q:H1\ninitfs: none for Q:H1\n", "no kernel image for Q:H1\nvelkan-pack: no initfs"},
        {{"P", "--hw", "H1", "--partition", "kernel=128K:16K", "--partition", "initfs=0x4000:0x4000"}, 0, k1 + "131072 bytes with the 512-byte header page in 131072 usable: fits\n" + i3 + "16384 bytes in 16384 usable: fits\n", ""},
        {{"P", "--hw", "H1", "--only", "kernel", "--partition", "kernel=128K:32K"}, 1, k1 + "132608 bytes with the 2048-byte header page in 131072 usable: does not fit\n", "kernel: 132608 bytes"},
        {{"P", "--hw", "H1", "--only", "kernel", "--partition=kernel=152K:16K:1"}, 0, k1 + "131072 bytes with the 512-byte header page in 131072 usable: fits\n", ""},
        {{"P", "--hw", "H1", "--only", "initfs", "--partition", "initfs=32K:16K:2"}, 1, i3 + "16384 bytes in 0 usable: does not fit\n", "initfs: 16384 bytes in 0 usable"},
        {{"P", "--hw", "H1", "--only", "kernel", "--partition", "kernel=128K:1000"}, 1, k1 + "erase size 1000 does not hold whole 512-byte pages: the flasher refuses the partition\n", "refuses"},
        {{"P", "--hw", "H1", "--partition", "rootfs=1M:16K"}, 2, "", "bad partition 'rootfs=1M:16K'"},
        {{"P", "--hw", "H1", "--partition", "kernel=16K:16K:2"}, 2, "", "too many bad"},
        {{"P", "--hw", "H1", "--partition", "kernel=5G:16K"}, 2, "", "bad size '5G'"},
    };
    // clang-format on
    for (const auto &r : rows)
        expect({"check", out, "--product"}, r, true);
}

TEST_F(Pack, Extract) {
    // clang-format off
    expect({"create", out, "kernel=" + dir.write("a", std::string(300, 'A')) + ",valid=P:H1", "kernel=" + big, "initfs=" + abc + ",valid=Q"}, {{}, 0, "", ""});
    const std::string container = vw::read_file(out), target = dir.path() + "/image";
    const std::string a384 = std::string(300, 'A') + std::string(84, '\xFF'), abc128 = "abc" + std::string(125, '\xFF');
    const std::pair<run, std::string> rows[] = { // the run, the bytes in the file written
        {{{"kernel", target}, 0, "", ""}, a384},
        {{{"kernel", target, "--product", "P", "--hw", "H2"}, 0, "", ""}, std::string(20000, 'K') + std::string(96, '\xFF')},
        {{{"initfs", "-"}, 0, abc128, ""}, ""},
        {{{"initfs", target, "--product", "P", "--hw", "H1"}, 1, "", "no image 'initfs' for P:H1"}, ""},
        {{{"pirl", target}, 1, "", "no image 'pirl'"}, ""},
        {{{"kernel", out}, 1, "", "is the container itself"}, container},
    };
    // clang-format on
    for (const auto &[r, bytes] : rows) {
        unlink(target.c_str());
        expect({"extract", out}, r, true);
        std::string written = r.a[1] == out ? out : target;
        EXPECT_EQ(access(written.c_str(), F_OK) == 0 ? vw::read_file(written) : "", bytes);
    }
}

} // namespace
