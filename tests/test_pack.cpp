// velkan-pack through its binary: one table per command.
#include "support/process.h"
#include "velkan_writer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <string>
#include <vector>

namespace vw = velkan_writer;
using args = std::vector<std::string>;

namespace {

std::string ff(size_t n) {
    return std::string(n, '\xFF');
}

bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

class Pack : public ::testing::Test {
  protected:
    temp_dir dir;
    std::string abc = dir.write("abc", "abc"); // checksum 0x9d02, 128 bytes with filler
    std::string big = dir.write("big", std::string(20000, 'K'));
    std::string out = dir.path() + "/fw.velkan";

    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        DIR *d = opendir(dir.path().c_str());
        while (dirent *e = readdir(d))
            names.push_back(e->d_name);
        closedir(d);
        std::sort(names.begin(), names.end());
        return names;
    }
    nlohmann::json listed(const std::string &file) {
        auto r = run_pack({"list", "--json", file});
        EXPECT_EQ(r.status, 0) << r.err;
        return nlohmann::json::parse(r.out);
    }
    // Flips the lowest bit of one byte of the file.
    void flip(const std::string &file, size_t offset) {
        std::string bytes = vw::read_file(file);
        bytes.at(offset) = static_cast<char>(bytes[offset] ^ 1);
        vw::write_file(file, bytes);
    }
    void create(const args &defs) {
        args a = {"create", out};
        a.insert(a.end(), defs.begin(), defs.end());
        auto r = run_pack(a);
        ASSERT_EQ(r.status, 0) << r.err;
    }
};

TEST_F(Pack, HelpAndVersion) {
    struct row {
        args a;
        std::string shown;
    } rows[] = {
        {{"--help"}, "Usage: velkan-pack [OPTIONS] SUBCOMMAND"},
        {{"create", "--help"}, "IMAGE-DEF: NAME=FILE"},
        {{"list", "--help"}, "--json"},
        {{"verify", "--help"}, "Usage: velkan-pack verify"},
        {{"check", "--help"}, "NAME=SIZE:ERASESIZE[:BADBLOCKS]"},
        {{"extract", "--help"}, "--product TEXT Needs: --hw"},
        {{"--version"}, "velkan-pack "},
    };
    for (const auto &r : rows) {
        auto res = run_pack(r.a);
        EXPECT_EQ(res.status, 0) << r.a[0];
        EXPECT_TRUE(has(res.out, r.shown)) << res.out;
        EXPECT_EQ(res.err, "");
    }
}

TEST_F(Pack, Create) {
    std::string k = "kernel=" + abc;
    struct row {
        args a;
        int status;
        std::vector<std::string> err; // each a part of stderr; none: stderr empty
        bool replaced;
        bool small_files = false; // the file size limit stops the write halfway
    } rows[] = {
        {{k, "initfs=" + big}, 0, {}, true},
        {{k + ",valid=A:1", k}, 0, {}, true},
        {{"pirl=" + abc}, 0, {"image 1 'pirl': the flasher flashes only kernel and initfs"}, true},
        {{k + ",valid=A B:1 2"},
         0,
         {"product 'A B' holds white space", "HW build '1 2' holds white space"},
         true},
        {{k + ",valid=A:1", k + ",valid=A:1:2", k + ",valid=A", k + ",valid=A"},
         0,
         {"image 2 'kernel' is never flashed on A:1: the flasher picks image 1 there",
          "image 4 'kernel' is never flashed on every A device: the flasher picks image 3 there"},
         true},
        {{k, k},
         0,
         {"image 2 'kernel' is never flashed on every device: the flasher picks image 1"},
         true},
        {{k + ",colour=red"}, 2, {"unknown key 'colour'", "Usage: velkan-pack create OUT"}, false},
        {{k + ",partition=1:2"}, 2, {"TYPE:MODE:SIZE expected"}, false},
        {{k + ",partition=1:-1:0"}, 2, {"bad mode '-1'"}, false},
        {{k + ",valid=ABCDEFGHIJKLMNOPQ"}, 2, {"longer than 16"}, false},
        {{"kernelkernelk=" + abc}, 2, {"longer than 12"}, false},
        {{k + ",version=" + std::string(256, 'v')}, 2, {"version of image"}, false},
        {{"--release"}, 2, {"--release"}, false},
        {{}, 2, {"IMAGE-DEF is required"}, false},
        {{"kernel=" + dir.path() + "/missing"}, 1, {"missing: No such file"}, false},
        {{"kernel=" + out}, 1, {"fw.velkan: is also an input; not overwritten"}, false},
        {{"initfs=" + big}, 1, {"fw.velkan: File too large"}, false, true},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.a.empty() ? "" : r.a[0].substr(0, 60));
        vw::write_file(out, "old");
        auto before = entries();
        args a = {"create", out};
        a.insert(a.end(), r.a.begin(), r.a.end());
        rlimit saved;
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit small = {8192, saved.rlim_max};
        if (r.small_files) {
            signal(SIGXFSZ, SIG_IGN);
            setrlimit(RLIMIT_FSIZE, &small);
        }
        auto res = run_pack(a);
        setrlimit(RLIMIT_FSIZE, &saved);
        EXPECT_EQ(res.status, r.status) << res.err;
        for (const auto &part : r.err)
            EXPECT_TRUE(has(res.err, part)) << res.err;
        EXPECT_TRUE(!r.err.empty() || res.err.empty()) << res.err;
        EXPECT_EQ(vw::read_file(out) != "old", r.replaced);
        EXPECT_EQ(entries(), before) << "nothing left behind";
    }
    EXPECT_EQ(run_pack({"create", abc, "kernel=" + abc}).status, 1);
    EXPECT_EQ(vw::read_file(abc), "abc");
}

TEST_F(Pack, List) {
    create({"--release", "R2.1",
            "kernel=" + abc +
                ",version=2.6.28,valid=VX-510:B101:B204,valid=VX-440,partition=1:2:0x20000",
            "initfs=" + big});
    vw::image unaligned("initfs", "abc");
    unaligned.exact_size = true;
    std::string odd = dir.write("odd.velkan", vw::container{"", {}, {unaligned}}.encode());
    const std::string contents = "SW version in image: R2.1\n\nImage 'kernel', size 128 bytes\n"
                                 "\tValid for VX-510: B101, B204\n\tValid for VX-440\n"
                                 "\tVersion 2.6.28\nImage 'initfs', size 20096 bytes\n";
    const std::string offsets = "'kernel': data at offset 128, 128 bytes, checksum 0x9d02\n"
                                "'initfs': data at offset 286, 20096 bytes, checksum 0x0000\n";
    struct row {
        args a;
        std::string out;
    } rows[] = {
        {{"list", out}, contents + "2 image(s) in 20382 bytes\n"},
        {{"list", "-v", out}, contents + offsets + "2 image(s) in 20382 bytes\n"},
        {{"list", "-vv", out}, ""},
        {{"list", out, "-v", "-v"}, ""},
        {{"list", "-v", odd},
         "Image 'initfs', size 128 bytes\n'initfs': data at offset 39, 3 "
         "bytes (128 with filler), checksum 0x9d02\n1 image(s) in 167 bytes\n"},
    };
    std::string twice;
    for (const auto &r : rows) {
        auto res = run_pack(r.a);
        EXPECT_EQ(res.status, 0) << res.err;
        if (twice.empty() && r.out.empty())
            twice = res.out;
        EXPECT_EQ(res.out, r.out.empty() ? twice : r.out);
    }
    EXPECT_TRUE(has(twice, "\tVersion 2.6.28\nPartition: type 1, flash mode 2, size 131072\n"));

    nlohmann::json doc = listed(out);
    EXPECT_EQ(doc["release"], "R2.1");
    EXPECT_EQ(doc["file_size"], 20382);
    ASSERT_EQ(doc["images"].size(), 2u);
    const auto &kernel = doc["images"][0];
    EXPECT_EQ(kernel["name"], "kernel");
    EXPECT_EQ(kernel["data_offset"], 128);
    EXPECT_EQ(kernel["size"], 128);
    EXPECT_EQ(kernel["checksum"], 0x9d02);
    EXPECT_EQ(kernel["version"], "2.6.28");
    EXPECT_EQ(kernel["valid_for"], nlohmann::json::parse(R"([{"product":"VX-510","hw_builds":
        ["B101","B204"]},{"product":"VX-440","hw_builds":[]}])"));
    EXPECT_EQ(kernel["partitions"],
              nlohmann::json::parse(R"([{"type":1,"mode":2,"size":131072}])"));
    EXPECT_TRUE(doc["images"][1]["version"].is_null());
    EXPECT_TRUE(listed(odd)["release"].is_null());
    EXPECT_EQ(run_pack({"list", out, out}).status, 2);
    EXPECT_EQ(run_pack({"list", dir.path() + "/missing"}).status, 1);
}

TEST_F(Pack, Verify) {
    create({"kernel=" + abc, "initfs=" + big});
    const std::string good = vw::read_file(out);
    vw::image unaligned("kernel", "abc");
    unaligned.exact_size = true;
    vw::image short_list("kernel", "abc");
    short_list.extra = {vw::subblock('2', std::string(20, 'P'))};
    struct row {
        std::string container;
        size_t flip_at; // 0: none
        int status;
        std::string err;
    } rows[] = {
        {good, 0, 0, ""},
        {good, 39, 1, "image 1 'kernel': checksum 0x9d02 in the header, 0x9d03 over data"},
        {good, 39 + 101, 1, "image 1 'kernel': checksum 0x9d02 in the header, 0x9c02 over data"},
        {good, good.size() - 1, 1, "image 2 'initfs': checksum"},
        {vw::container{"", {}, {unaligned}}.encode(), 0, 1, "data size 3 is not a multiple of 128"},
        {vw::container{"", {}, {short_list}}.encode(), 0, 1,
         "product / HW rev subblock 1 of 20 bytes is malformed"},
        {good.substr(0, good.size() - 1), 0, 1, "not a container the flasher reads"},
    };
    for (const auto &r : rows) {
        std::string file = dir.write("v.velkan", r.container);
        if (r.flip_at)
            flip(file, r.flip_at);
        auto res = run_pack({"verify", file});
        EXPECT_EQ(res.status, r.status) << r.err;
        EXPECT_TRUE(r.err.empty() ? res.err.empty() : has(res.err, r.err)) << res.err;
        if (r.container == good && r.status) {
            EXPECT_TRUE(has(res.out, ": BAD\n") && has(res.out, "2 image(s), 1 damaged\n"))
                << res.out;
        }
    }
}

TEST_F(Pack, Check) {
    std::string kernel = dir.write("kernel", std::string(130560, 'k')); // 128 KiB - 512
    std::string initfs = dir.write("initfs", std::string(16384, 'i'));
    create({"kernel=" + kernel + ",valid=P:H1", "kernel=" + abc + ",valid=P,version=2",
            "initfs=" + initfs + ",valid=P:H1"});
    const std::string k1 = "kernel: image 1, 130560 bytes; ";
    const std::string i3 = "initfs: image 3, 16384 bytes; ";
    struct row {
        args a;
        int status;
        std::string out, err;
    } rows[] = {
        {{"P", "H1"}, 0, k1 + "partition not given\n" + i3 + "partition not given\n", ""},
        {{"P", "H2"},
         1,
         "kernel: image 2, 128 bytes, version 2; partition not given\n"
         "initfs: none for P:H2\n",
         "no initfs image for P:H2"},
        {{"P", "H2", "--only", "kernel"},
         0,
         "kernel: image 2, 128 bytes, version 2; partition not given\n",
         ""},
        {{"Q", "H1"}, 1, "kernel: none for Q:H1\ninitfs: none for Q:H1\n", "no kernel image"},
        {{"P", "H1", "--partition", "kernel=128K:16K", "--partition", "initfs=0x4000:0x4000"},
         0,
         k1 + "131072 bytes with the 512-byte header page in 131072 usable: fits\n" + i3 +
             "16384 bytes in 16384 usable: fits\n",
         ""},
        {{"P", "H1", "--only", "kernel", "--partition", "kernel=128K:32K"},
         1,
         k1 + "132608 bytes with the 2048-byte header page in 131072 usable: does not fit\n",
         "kernel: 132608 bytes"},
        {{"P", "H1", "--only", "kernel", "--partition=kernel=152K:16K:1"},
         0,
         k1 + "131072 bytes with the 512-byte header page in 131072 usable: fits\n",
         ""},
        {{"P", "H1", "--only", "initfs", "--partition", "initfs=32K:16K:2"},
         1,
         i3 + "16384 bytes in 0 usable: does not fit\n",
         "initfs: 16384 bytes in 0 usable"},
        {{"P", "H1", "--only", "kernel", "--partition", "kernel=128K:1000"},
         1,
         k1 + "erase size 1000 does not hold whole 512-byte pages: the flasher refuses the "
              "partition\n",
         "refuses"},
        {{"P", "H1", "--partition", "rootfs=1M:16K"}, 2, "", "bad partition 'rootfs=1M:16K'"},
        {{"P", "H1", "--partition", "kernel=16K:0"}, 2, "", "Usage: velkan-pack check"},
        {{"P", "H1", "--partition", "kernel=16K:16K:2"}, 2, "", "too many bad"},
        {{"P", "H1", "--partition", "kernel=5G:16K"}, 2, "", "bad size '5G'"},
        {{"P", "H1", "--only", "pirl"}, 2, "", "--only"},
    };
    for (const auto &r : rows) {
        args a = {"check", out, "--product", r.a[0], "--hw", r.a[1]};
        a.insert(a.end(), r.a.begin() + 2, r.a.end());
        auto res = run_pack(a);
        EXPECT_EQ(res.status, r.status) << res.err;
        EXPECT_EQ(res.out, r.out);
        EXPECT_TRUE(r.err.empty() ? res.err.empty() : has(res.err, r.err)) << res.err;
    }
    EXPECT_EQ(run_pack({"check", out, "--product", "P"}).status, 2);
}

TEST_F(Pack, Extract) {
    std::string a = dir.write("a", std::string(300, 'A'));
    create({"kernel=" + a + ",valid=P:H1", "kernel=" + big, "initfs=" + abc + ",valid=Q"});
    const std::string container = vw::read_file(out);
    const std::string target = dir.path() + "/image";
    struct row {
        args a;
        int status;
        std::string bytes, err;
    } rows[] = {
        {{"kernel"}, 0, std::string(300, 'A') + ff(84), ""},
        {{"kernel", "--product", "P", "--hw", "H1"}, 0, std::string(300, 'A') + ff(84), ""},
        {{"kernel", "--product", "P", "--hw", "H2"}, 0, std::string(20000, 'K') + ff(96), ""},
        {{"initfs", "--product", "Q", "--hw", "X"}, 0, "abc" + ff(125), ""},
        {{"initfs", "--product", "P", "--hw", "H1"}, 1, "", "no image 'initfs' for P:H1"},
        {{"pirl"}, 1, "", "no image 'pirl'"},
        {{"kernel", "--product", "P"}, 2, "", "--product requires --hw"},
    };
    for (const auto &r : rows) {
        unlink(target.c_str());
        args a = {"extract", out, r.a[0], target};
        a.insert(a.end(), r.a.begin() + 1, r.a.end());
        auto res = run_pack(a);
        EXPECT_EQ(res.status, r.status) << res.err;
        EXPECT_TRUE(r.err.empty() ? res.err.empty() : has(res.err, r.err)) << res.err;
        EXPECT_EQ(access(target.c_str(), F_OK) == 0, r.status == 0);
        EXPECT_EQ(r.status ? "" : vw::read_file(target), r.bytes);
    }
    EXPECT_EQ(run_pack({"extract", out, "initfs", "-"}).out, "abc" + ff(125));
    EXPECT_EQ(run_pack({"extract", out, "kernel", out}).status, 1);
    EXPECT_EQ(vw::read_file(out), container);
}

} // namespace
