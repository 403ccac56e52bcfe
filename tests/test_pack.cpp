// velkan-pack, run as a subprocess, and what the reader makes of its output.
#include "ident.h"
#include "support/capture.h"
#include "support/process.h"
#include "support/velkan_files.h"
#include "velkan.h"
#include "velkan_writer.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

namespace vw = velkan_writer;

namespace {

bool exists(const std::string &path) {
    return access(path.c_str(), F_OK) == 0;
}

class Pack : public container_test {
  protected:
    std::string kernel_data = std::string(1000, 'K') + "end";
    std::string kernel = dir.write("zImage", kernel_data);
    std::string initfs = dir.write("initfs.jffs2", std::string(4096, '\x85'));
    std::string out = dir.path() + "/fw.velkan";
};

TEST_F(Pack, CreateThenList) {
    auto c =
        run_pack({"create", out, "--release", "R2.1",
                  "kernel=" + kernel +
                      ",version=2.6.28,valid=VX-510:B101:B204,valid=VX-440,partition=1:2:0x20000",
                  "initfs=" + initfs});
    ASSERT_EQ(c.status, 0) << c.err;
    EXPECT_EQ(c.out, "");
    EXPECT_EQ(c.err, "");

    const std::string contents = "SW version in image: R2.1\n\n"
                                 "Image 'kernel', size 1024 bytes\n"
                                 "\tValid for VX-510: B101, B204\n"
                                 "\tValid for VX-440\n"
                                 "\tVersion 2.6.28\n"
                                 "Image 'initfs', size 4096 bytes\n";
    auto l = run_pack({"list", out});
    EXPECT_EQ(l.status, 0) << l.err;
    EXPECT_EQ(l.err, "") << "sizes are stored aligned";
    EXPECT_EQ(l.out,
              contents + "2 image(s) in " + std::to_string(vw::read_file(out).size()) + " bytes\n");

    l = run_pack({"list", "-vv", out});
    EXPECT_EQ(l.status, 0);
    EXPECT_NE(l.out.find("\tVersion 2.6.28\nPartition: type 1, flash mode 2, size 131072\n"
                         "Image 'initfs'"),
              std::string::npos)
        << l.out;
    EXPECT_NE(l.out.find("'initfs': data at offset "), std::string::npos) << l.out;
    EXPECT_EQ(run_pack({"list", out, "-v", "-v"}).out, l.out);
}

TEST_F(Pack, RoundTripThroughTheReader) {
    auto c = run_pack({"create", out, "kernel=" + kernel + ",valid=A:1", "kernel=" + initfs,
                       "initfs=" + initfs + ",valid=B"});
    ASSERT_EQ(c.status, 0) << c.err;

    image_set *set = new_set();
    output_capture capture;
    ASSERT_EQ(image_open(set, out.c_str()), 0);
    capture.stop();
    hw_ident a = {const_cast<char *>("A"), const_cast<char *>("1")};
    hw_ident other = {const_cast<char *>("C"), const_cast<char *>("1")};

    subimage *k = image_find_component(set, &a, "kernel");
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(k, set->subimages);
    EXPECT_EQ(k->size, 1024u);
    EXPECT_EQ(k->checksum, vw::checksum(kernel_data));
    std::string data(k->size, '?');
    ASSERT_EQ(velkan_read_bytes(k, 0, &data[0], k->size), 0);
    EXPECT_EQ(data, vw::padded(kernel_data));

    // The second kernel carries no device list: it fits the rest.
    subimage *fallback = image_find_component(set, &other, "kernel");
    ASSERT_NE(fallback, nullptr);
    EXPECT_EQ(fallback, k->next);
    ASSERT_EQ(velkan_read_bytes(fallback, 4000, &data[0], 96), 0);
    EXPECT_EQ(data.substr(0, 96), std::string(96, '\x85'));
    EXPECT_EQ(image_find_component(set, &a, "initfs"), nullptr);
}

TEST_F(Pack, EmptyImageFile) {
    std::string empty = dir.write("empty", "");
    ASSERT_EQ(run_pack({"create", out, "initfs=" + empty}).status, 0);
    auto r = open_bytes(vw::read_file(out), 1);
    ASSERT_EQ(r.result, 0) << r.err;
    EXPECT_EQ(r.out, "Image 'initfs', size 0 bytes\n");
}

TEST_F(Pack, BadArgumentsShowTheUsage) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"pack"},
        {"create"},
        {"create", out},
        {"create", "--release", "1", "kernel=" + kernel},
        {"create", out, "--release"},
        {"create", out, "--bogus", "kernel=" + kernel},
        {"create", out, "kernel"},
        {"create", out, "=" + kernel},
        {"create", out, "kernel="},
        {"create", out, "kernel=" + kernel + ",colour=red"},
        {"create", out, "kernel=" + kernel + ",version"},
        {"create", out, "kernel=" + kernel + ",partition=1:2"},
        {"create", out, "kernel=" + kernel + ",partition=256:0:0"},
        {"create", out, "kernel=" + kernel + ",partition=1:-1:0"},
        {"create", out, "kernel=" + kernel + ",partition=1:1:0x100000000"},
        {"create", out, "kernel=" + kernel + ",partition=1:1:12x"},
        {"create", out, "kernelkernelk=" + kernel},
        {"create", out, "kernel=" + kernel + ",valid=ABCDEFGHIJKLMNOPQ"},
        {"create", out, "kernel=" + kernel + ",valid=A:123456789"},
        {"create", out, "kernel=" + kernel + ",valid="},
        {"create", out, "kernel=" + kernel + ",version=" + std::string(256, 'v')},
        {"create", out, "kernel=" + kernel + ",valid=A::B"},
        {"list"},
        {"list", out, out},
        {"list", "-x", out},
    };
    for (const auto &args : cases) {
        std::string shown;
        for (const auto &a : args)
            shown += a.substr(0, 60) + " ";
        auto r = run_pack(args);
        EXPECT_EQ(r.status, 2) << shown << r.err;
        EXPECT_NE(r.err.find("Usage: velkan-pack create OUT"), std::string::npos) << shown;
        EXPECT_FALSE(exists(out)) << shown;
    }
}

TEST_F(Pack, ImageBudgetIsChecked) {
    // 29 entries fill a product list: 16 + 29 * 8 = 248 bytes. With FILE_DATA
    // and a version of 225 bytes the budget of 510 is used exactly.
    std::string hw;
    for (int i = 0; i < 29; i++)
        hw += ":H" + std::to_string(i);
    std::string prefix = "kernel=" + kernel + ",valid=P" + hw + ",version=";
    EXPECT_EQ(run_pack({"create", out, prefix + std::string(226, 'v')}).status, 2);
    auto r = run_pack({"create", out, prefix + std::string(225, 'v')});
    ASSERT_EQ(r.status, 0) << r.err;
    auto opened = open_bytes(vw::read_file(out), 1);
    ASSERT_EQ(opened.result, 0) << opened.err;
    EXPECT_EQ(opened.set->subimages->subblock_len + 2 * 3, 510u);
    EXPECT_NE(opened.out.find("Valid for P: H0, H1, "), std::string::npos);
}

TEST_F(Pack, FailuresToReadOrWrite) {
    std::string missing = dir.path() + "/missing";
    auto r = run_pack({"create", out, "kernel=" + missing});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "velkan-pack: " + missing + ": No such file or directory\n");
    EXPECT_FALSE(exists(out));

    r = run_pack({"create", dir.path() + "/no/such/dir/fw.velkan", "kernel=" + kernel});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("No such file or directory"), std::string::npos) << r.err;

    r = run_pack({"list", missing});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, missing + ": No such file or directory\n");
}

TEST_F(Pack, ListRefusesMalformedContainers) {
    std::string bad = dir.write("bad.velkan", std::string("\xB4\0\0\0\x04\0\0\0\0T", 10));
    auto r = run_pack({"list", bad});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("read subimage header: ", 0), 0u) << r.err;
    EXPECT_EQ(r.out.find("image(s)"), std::string::npos);
}

} // namespace
