// velkan-pack through its binary: one table per command.
#include "crc32.h"
#include "support/process.h"
#include "velkan_writer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <filesystem>
#include <signal.h>
#include <sys/stat.h>
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

// One run: its name, the arguments after the command's own, the exit status, a
// part of stdout (all of it when exact) and a part of stderr (none: stderr is
// empty).
struct run {
    const char *name;
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

    // The run; with limit, the files it writes are limited to that many bytes.
    tool_result expect(args a, const run &r, bool exact = false, rlim_t limit = 0) {
        SCOPED_TRACE(r.name);
        a.insert(a.end(), r.a.begin(), r.a.end());
        signal(SIGXFSZ, SIG_IGN);
        rlimit saved;
        getrlimit(RLIMIT_FSIZE, &saved);
        const rlimit small = {limit, saved.rlim_max};
        if (limit)
            setrlimit(RLIMIT_FSIZE, &small);
        auto res = run_pack(a);
        setrlimit(RLIMIT_FSIZE, &saved);
        EXPECT_EQ(res.status, r.status) << res.err;
        EXPECT_TRUE(exact ? res.out == r.out : res.out.find(r.out) != std::string::npos) << res.out;
        EXPECT_TRUE(r.err.empty() ? res.err.empty() : res.err.find(r.err) != std::string::npos)
            << res.err;
        return res;
    }
    void create(const args &a) {
        expect({"create", out}, {"create", a, 0, "", ""});
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
    const std::string empty = dir.write("empty", ""), huge = dir.path() + "/huge";
    ASSERT_EQ(truncate(dir.write("huge", "").c_str(), 0xFFFFFF81), 0); // sparse
    const std::string strict =
        "initfs\nvelkan-pack: " + out + ": not written: 1 warning(s) with --strict\n";
    const run rows[] = {
        {"two images", {k, "initfs=" + big}, 0, "", ""},
        {"fallback", {k + ",valid=A:1", k}, 0, "", ""},
        {"other name", {"pirl=" + abc}, 0, "", "image 1 'pirl': the flasher flashes only kernel"},
        {"strict", {"--strict", "Kernel=" + abc}, 1, "", "flashes only kernel and " + strict},
        {"empty input", {"kernel=" + empty}, 0, "", "image 1 'kernel': " + empty + " is empty\n"},
        {"control characters", {"--release", "1\n", k}, 0, "", "release version holds control"},
        {"white space",
         {k + ",valid=A B:1 2"},
         0,
         "",
         "product 'A B' holds white space and never matches /proc/component_version" + warning +
             "1 'kernel': HW build '1 2' holds white space"},
        {"shadowed",
         {k + ",valid=A:1", k + ",valid=A:1:2", k + ",valid=A", k + ",valid=A"},
         0,
         "",
         "image 2 'kernel' is never flashed on A:1: the flasher picks image 1 there" + warning +
             "4 'kernel' is never flashed on every A device: the flasher picks image 3 there\n"},
        {"4M partition", {k + ",partition=1:2:4M"}, 0, "", ""},
        {"type range", {k + ",partition=256:2:1"}, 2, "", "'256': a number from 0 to 255 expected"},
        {"version twice", {k + ",version=1,version=2"}, 2, "", "version given twice"},
        {"unknown key",
         {k + ",colour=red"},
         2,
         "",
         "unknown key 'colour'\nUsage: velkan-pack create"},
        {"partition fields", {k + ",partition=1:2"}, 2, "", "TYPE:MODE:SIZE expected"},
        {"long product", {k + ",valid=ABCDEFGHIJKLMNOPQ"}, 2, "", "longer than 16 bytes"},
        {"long name", {"kernelkernelk=" + abc}, 2, "", "longer than 12 bytes"},
        {"header budget",
         {k + ",version=" + std::string(255, 'v') + ",valid=P" + builds25},
         2,
         "",
         "take 516 bytes of the header budget of 510"},
        {"missing input", {"kernel=" + dir.path() + "/missing"}, 1, "", "missing: No such file"},
        {"input is OUT", {"kernel=" + out}, 1, "", "fw.velkan: is also an input; not overwritten"},
        {"input too large", {"kernel=" + huge}, 1, "", "huge: 4294967169 bytes, more than the"},
        {"write fails", {"initfs=" + big}, 1, "", "fw.velkan: File too large"}, // 8 KiB at most
    };
    for (const auto &r : rows) {
        vw::write_file(out, "old");
        long before = entries();
        expect({"create", out}, r, false, &r == std::end(rows) - 1 ? 8192 : 0);
        // OUT is replaced whole on success and left as it was otherwise.
        EXPECT_EQ(vw::read_file(out) != "old", r.status == 0) << r.name;
        EXPECT_EQ(entries(), before) << r.name << ": nothing left behind";
    }
}

TEST_F(Pack, NeverReplacesWhatIsNotARegularFile) {
    create({"kernel=" + abc});
    const std::string link = dir.path() + "/link", fifo = dir.path() + "/fifo";
    ASSERT_EQ(symlink("target", link.c_str()), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    long before = entries();
    const std::string only = "; velkan-pack replaces regular files only\n";
    const run rows[] = {
        {"create onto a link",
         {"create", link, "kernel=" + abc},
         1,
         "",
         link + ": is a symbolic link" + only},
        {"extract onto a FIFO",
         {"extract", out, "kernel", fifo},
         1,
         "",
         fifo + ": is a FIFO" + only},
    };
    for (const auto &r : rows)
        expect({}, r, true);
    struct stat st;
    EXPECT_TRUE(lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode));
    EXPECT_TRUE(lstat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
    EXPECT_EQ(entries(), before) << "no target, no temporary file";
}

TEST_F(Pack, SignalsRemoveTheTemporaryFile) {
    const std::string fifo = dir.path() + "/input";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        vw::write_file(out, "old");
        long before = entries(), during = 0;
        auto res = run_pack({"create", out, "kernel=" + fifo}, [&](int pid) {
            int fd = -1; // open once create reads its input
            for (int tries = 0; fd < 0 && tries < 1000; tries++) {
                fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
                usleep(fd < 0 ? 10000 : 0);
            }
            during = entries();
            kill(pid, sig);
            close(fd);
        });
        EXPECT_EQ(during, before + 1) << "the temporary file while create reads its input";
        EXPECT_EQ(res.status, 128 + sig);
        EXPECT_EQ(entries(), before);
        EXPECT_EQ(vw::read_file(out), "old");
    }
}

TEST_F(Pack, CommandLine) {
    const std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const run rows[] = {
        {"unknown command", {"bogus"}, 2, "", "velkan-pack: unknown command 'bogus'\nUsage:"},
        {"unknown option", {"--bogus"}, 2, "", "velkan-pack: unknown option '--bogus'\nUsage:"},
        {"FILE with a dash",
         {"list", "-x.velkan"},
         2,
         "",
         "option '-x.velkan' (a FILE that starts"},
        {"a FIFO as FILE", {"verify", fifo}, 1, "", fifo + ": not a regular file; containers are"},
    };
    for (const auto &r : rows)
        expect({}, r, true);
}

TEST_F(Pack, StandardOutputThatCannotBeWritten) {
    create({"kernel=" + abc, "initfs=" + big});
    const std::string full = "velkan-pack: standard output: File too large\n";
    const run rows[] = {
        {"list", {"list", out}, 1, "", full},
        {"list --json", {"list", "--json", out}, 1, "", full},
        {"verify", {"verify", out}, 1, "", full},
        {"check", {"check", out, "--product", "P", "--hw", "H"}, 1, "", full},
    };
    for (const auto &r : rows)
        expect({}, r, false, 64);
}

TEST_F(Pack, List) {
    create({"--release", "R2.1",
            "kernel=" + abc +
                ",version=2.6.28,valid=VX-510:B101:B204,valid=VX-440,partition=1:2:"
                "0x20000",
            "initfs=" + big});
    const std::string odd = dir.write("odd.velkan", unaligned("initfs"));
    vw::container odd_texts{"1\nImage 'initfs'", {}, {vw::image("kernel\x7f", "abc")}};
    odd_texts.images[0].version = "\x1b[2J";
    const std::string crc_k = hex(crc_of(vw::padded("abc")));
    const std::string head = "SW version in image: R2.1\n\nImage 'kernel', size 128 bytes\n"
                             "\tValid for VX-510: B101, B204\n\tValid for VX-440\n"
                             "\tVersion 2.6.28\n";
    const std::string tail =
        "Image 'initfs', size 20096 bytes\nimage 1 'kernel': data at offset 144, 128 bytes, "
        "checksum 0x9d02, CRC-32 " +
        crc_k +
        "\nimage 2 'initfs': data at offset 308, 20096 "
        "bytes, checksum 0x0000, CRC-32 " +
        hex(crc_of(vw::padded(std::string(20000, 'K')))) + "\n2 image(s) in 20404 bytes\n";
    const run rows[] = {
        {"plain", {out}, 0, head + tail, ""},
        {"-v", {"-v", out}, 0, head + "Partition: type 1, flash mode 2, size 131072\n" + tail, ""},
        {"unaligned",
         {odd},
         0,
         "Image 'initfs', size 128 bytes\nimage 1 'initfs': data at offset 55, 3 bytes (128 with "
         "filler), checksum 0x9d02, CRC-32 " +
             crc_k + "\n1 image(s) in 183 bytes\n",
         "WARNING: Image 'initfs' not aligned"},
        {"control characters",
         {dir.write("texts.velkan", odd_texts.encode())},
         0,
         "SW version in image: 1\\x0aImage 'initfs'\n\nImage 'kernel\\x7f', size 128 bytes\n"
         "\tVersion \\x1b[2J\nimage 1 'kernel\\x7f': data at offset 79, 128 bytes, checksum "
         "0x9d02, CRC-32 " +
             crc_k + "\n1 image(s) in 207 bytes\n",
         ""},
        {"missing", {dir.path() + "/missing"}, 1, "", "missing: No such file"},
    };
    for (const auto &r : rows)
        expect({"list"}, r, true);

    json doc = json::parse(expect({"list", "--json", out}, {"json", {}, 0, "", ""}).out);
    EXPECT_EQ(doc, json::parse(R"({"file_size": 20404, "release": "R2.1",
        "extent": {"images": 2, "file_length": 20404}, "images": [
        {"number": 1, "name": "kernel", "data_offset": 144, "size": 128, "data_size": 128,
         "checksum": 40194, "crc32": )" +
                               std::to_string(crc_of(vw::padded("abc"))) +
                               R"(, "version": "2.6.28", "valid_for": [
         {"product": "VX-510", "hw_builds": ["B101", "B204"]},
         {"product": "VX-440", "hw_builds": []}],
         "partitions": [{"type": 1, "mode": 2, "size": 131072}]},
        {"number": 2, "name": "initfs", "data_offset": 308, "size": 20096, "data_size": 20096,
         "checksum": 0, "crc32": )" +
                               std::to_string(crc_of(vw::padded(std::string(20000, 'K')))) +
                               R"(, "version": null, "valid_for": [], "partitions": []}]})"));
    EXPECT_TRUE(json::parse(run_pack({"list", "--json", odd}).out)["release"].is_null());
}

TEST_F(Pack, Verify) {
    create({"kernel=" + abc, "initfs=" + big});
    const std::string good = vw::read_file(out), v = dir.path() + "/v.velkan";
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
    const std::string ends = "velkan-pack: " + v + ": ";
    // A run on a container: its name, the container, the exit status, parts
    // of stdout and stderr.
    struct row {
        const char *name;
        std::string container;
        int status;
        std::string out, err;
    };
    const row rows[] = {
        {"whole", good, 0, kernel_ok, ""},
        {"one flip", changed({{0, 'a' ^ 1}}), 1, bad,
         head + "checksum 0x9d02 in the header, 0x9d03"},
        {"two flips in one lane", lane, 1, bad, head + crcs(lane)},
        {"swapped words", swapped, 1, bad, head + crcs(swapped)},
        {"cut after an image", good.substr(0, data + 128), 1,
         kernel_ok + "extent: 2 image(s) in 20315 bytes: BAD\n1 image(s), 0 damaged\n",
         "the extent subblock gives 2 image(s) in 20315 bytes, the file holds 1 in 183: cut"},
        {"no CRC-32 or extent", old.encode(), 0,
         "no extent subblock: a cut or extended file is not detected\nno CRC-32", ""},
        {"unaligned", unaligned("kernel"), 1, "", "data size 3 is not a multiple of 128"},
        {"short device list", vw::container{"", {}, {short_list}}.encode(), 1, "",
         "product / HW rev subblock 1 of 20 bytes is malformed"},
        {"empty", "", 1, "", ends + "Error reading VELKAN header: file ends early\n"},
        {"cut in a header", good.substr(0, 45), 1, "",
         ends + "read subimage header: file ends early\n"},
    };
    for (const auto &r : rows)
        expect({"verify", dir.write("v.velkan", r.container)},
               {r.name, {}, r.status, r.out, r.err});

    dir.write("v.velkan", lane);
    json doc = json::parse(expect({"verify", "--json", v}, {"json", {}, 1, "", ""}).out);
    EXPECT_EQ(doc["images"][0]["crc32"], crc_of(good.substr(data, 128)));
    EXPECT_EQ(doc["images"][0]["computed_crc32"], crc_of(lane.substr(data, 128)));
    EXPECT_EQ(doc["images"][1]["ok"], true);
    EXPECT_EQ(doc["damaged"], 1);
    EXPECT_EQ(doc["extent"], json::parse(R"({"images": 2, "file_length": 20315, "ok": true})"));
    dir.write("v.velkan", good.substr(0, data + 128));
    EXPECT_EQ(json::parse(run_pack({"verify", "--json", v}).out)["extent"]["ok"], false);
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
    std::string kernel = dir.write("kernel", std::string(130560, 'k')); // 128 KiB - 512
    std::string initfs = dir.write("initfs", std::string(16384, 'i'));
    create({"kernel=" + kernel + ",valid=P:H1", "kernel=" + abc + ",valid=P,version=2",
            "initfs=" + initfs + ",valid=P:H1"});
    const std::string k1 = "kernel: image 1, 130560 bytes; ", i3 = "initfs: image 3, 16384 bytes; ";
    const std::string k2 = "kernel: image 2, 128 bytes, version 2; partition not given\n";
    const std::string page512 =
        "131072 bytes with the 512-byte header page in 131072 usable: fits\n";
    auto on = [](const char *product, const char *hw, const args &more = {}) {
        args a = {"--product", product, "--hw", hw};
        a.insert(a.end(), more.begin(), more.end());
        return a;
    };
    const args only_kernel = {"--only", "kernel", "--partition"};
    const run rows[] = {
        {"both", on("P", "H1"), 0, k1 + "partition not given\n" + i3 + "partition not given\n", ""},
        {"no initfs", on("P", "H2"), 1, k2 + "initfs: none for P:H2\n", ""},
        {"only kernel", on("P", "H2", {"--only", "kernel"}), 0, k2, ""},
        {"other product", on("Q", "H1"), 1, "kernel: none for Q:H1\ninitfs: none for Q:H1\n", ""},
        {"both fit",
         on("P", "H1", {"--partition", "kernel=128K:16K", "--partition", "initfs=0x4000:0x4000"}),
         0, k1 + page512 + i3 + "16384 bytes in 16384 usable: fits\n", ""},
        {"2048-byte page", on("P", "H1", {"--only", "kernel", "--partition", "kernel=128K:32K"}), 1,
         k1 + "132608 bytes with the 2048-byte header page in 131072 usable: does not fit\n", ""},
        {"a bad block", on("P", "H1", {"--only", "kernel", "--partition=kernel=144K:16K:1"}), 0,
         k1 + page512, ""},
        {"no good block", on("P", "H1", {"--only", "initfs", "--partition", "initfs=32K:16K:2"}), 1,
         i3 + "16384 bytes in 0 usable: does not fit\n", ""},
        {"4096-byte pages",
         on("P", "H1", {"--only", "kernel", "--partition", "kernel=128K:128K:0:4K"}), 1,
         k1 + "the flasher refuses the partition: Write size 4096 larger than the page size 2048\n",
         ""},
        {"all",
         {"--all"},
         1,
         "P:H1: kernel image 1, initfs image 3\nevery P device: kernel image 2, initfs none\n",
         ""},
        {"all kernels fit",
         {"--all", "--only", "kernel", "--partition", "kernel=128K:16K"},
         0,
         "P:H1: kernel image 1 (fits)\nevery P device: kernel image 2 (fits)\n",
         ""},
        {"empty product", on("", ""), 2, "",
         "--product and --hw, neither empty, or --all required"},
        {"all and a product", {"--all", "--product", "P"}, 2, "", "excludes"},
        {"rootfs", on("P", "H1", {"--partition", "rootfs=1M:16K"}), 2, "", "bad partition 'rootfs"},
        {"too many bad", on("P", "H1", {"--partition", "kernel=16K:16K:2"}), 2, "", "more bad"},
        {"5G", on("P", "H1", {"--partition", "kernel=5G:16K"}), 2, "", "bad size '5G'"},
        {"96K", on("P", "H1", {"--partition", "kernel=960K:96K"}), 2, "", "not a power of two"},
        {"part of a block", on("P", "H1", {"--partition", "kernel=100K:16K"}), 2, "",
         "whole number"},
        {"left out", on("P", "H1", {"--only", "kernel", "--partition", "initfs=16K:16K"}), 2, "",
         "partition initfs given, but --only leaves initfs out"},
    };
    for (const auto &r : rows)
        expect({"check", out}, r, true);

    json doc = json::parse(run_pack({"check", out, "--product", "P", "--hw", "H1", "--json",
                                     "--partition", "kernel=128K:16K:0:512"})
                               .out);
    EXPECT_EQ(doc["devices"][0]["components"][0], json::parse(R"({"name": "kernel", "image": 1,
        "size": 130560, "version": null, "partition": {"size": 131072, "erasesize": 16384,
        "bad_blocks": 0, "page_size": 512, "refused": null, "program_page_size": 512,
        "usable": 131072, "length": 131072, "fits": true}, "ok": true})"));
    EXPECT_EQ(doc["ok"], true);
    doc = json::parse(run_pack({"check", out, "--all", "--json"}).out);
    EXPECT_EQ(doc["devices"][1]["hw"], nullptr);
    EXPECT_EQ(doc["devices"][1]["components"][1]["image"], nullptr);
    EXPECT_EQ(doc["ok"], false);
}

TEST_F(Pack, Extract) {
    create({"kernel=" + dir.write("a", std::string(300, 'A')) + ",valid=P:H1", "kernel=" + big,
            "initfs=" + abc + ",valid=Q"});
    const std::string container = vw::read_file(out), target = dir.path() + "/image";
    // A run and the bytes of the file it writes.
    struct row {
        const char *name;
        args a;
        int status;
        std::string out, err, written;
    };
    const row rows[] = {
        {"first", {"kernel", target}, 0, "", "", vw::padded(std::string(300, 'A'))},
        {"selected",
         {"kernel", target, "--product", "P", "--hw", "H2"},
         0,
         "",
         "",
         vw::padded(std::string(20000, 'K'))},
        {"stdout", {"initfs", "-"}, 0, vw::padded("abc"), "", ""},
        {"none for device",
         {"initfs", target, "--product", "P", "--hw", "H1"},
         1,
         "",
         "no image 'initfs' for P:H1",
         ""},
        {"no such name", {"pirl", target}, 1, "", "no image 'pirl'", ""},
        {"onto itself", {"kernel", out}, 1, "", "is the container itself", container},
    };
    for (const auto &r : rows) {
        unlink(target.c_str());
        expect({"extract", out}, {r.name, r.a, r.status, r.out, r.err}, true);
        std::string written = r.a[1] == out ? out : target;
        EXPECT_EQ(access(written.c_str(), F_OK) == 0 ? vw::read_file(written) : "", r.written)
            << r.name;
    }
}

} // namespace
