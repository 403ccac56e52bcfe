// The command line and the run sequence, through the real binary. The host has
// no device identity, so every run also reports that file missing.
#include "support/process.h"
#include "velkan_writer.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

namespace vw = velkan_writer;

// The usage text: its first lines.
const std::string usage = "Usage: velkan-flasher [OPTIONS]\nOptions:\n"
                          "  --verbose, -v                 Increase verbosity level\n";
const std::string names = "pirl, kernel, initfs, rootfs\n";
const std::string noid = "/proc/component_version: No such file or directory\n";
const std::string over = "Using product code and HW revision override.\n";
const std::string done = "Image(s) successfully flashed\n";
const std::string sim = "Image(s) successfully flashed (not!)\n";
const std::string syncs = "Calling sync()\n";
const std::string again = "Calling sync() again\n";
const std::string contents = "SW version in image: 21.2011.38-1\n\n"
                             "Image 'kernel', size 384 bytes\n"
                             "\tValid for VX-510: B101, B204\n"
                             "\tVersion 2.6.28-omap1\n"
                             "Image 'initfs', size 1024 bytes\n";

struct row {
    std::vector<std::string> args; // "@" stands for the scratch folder
    int status;
    std::string out, err; // err "*": unchecked (the process walk)
    bool reader_gone = false;
};

const std::vector<row> rows = {
    {{}, 2, usage, "Nothing to do!\n"},
    {{"-?"}, 2, usage, ""},
    {{"-f", "--flash-only", "rootfs"}, 2, "", "Valid --flash-only options:\n" + names},
    {{"-f", "-h", ":::"}, 2, "", ""},
    {{"-f", "-v", "-h", "::A:::", "--flash-only", "pirl"}, 1, "", noid},
    {{"-f", "-v", "-h", "::A::B:x", "--flash-only", "pirl"}, 0, over + syncs + done + again, noid},
    {{"-f", "-h", "A:B", "--flash-only", "xpirlx"}, 0, done, noid},
    {{"-f", "-N", "-R", "-h", "A:B", "--flash-only", "pirl"}, 0, sim + "Rebooting...\n", noid},
    {{"-f", "-v", "-N", "-h", "A:B", "--flash-only", "pirl"}, 0, "", noid, true},
    {{"--flash", "--verbose", "--no-action", "--hw-revision", "A:B", "--flash-only", "pirl"},
     0,
     over + syncs + sim + again,
     noid},
    // The mask already holds the kernel, so "rootfs" is not refused.
    {{"-f", "-k", "@/none", "--flash-only", "rootfs", "-h", "A:B"},
     1,
     "",
     noid + "@/none: No such file or directory\n"},
    {{"-f", "-N", "-h", "A:B"}, 1, "", noid + "No suitable kernel image found.\n"},
    {{"-f", "-v", "-N", "-K", "-h", "A:B", "-i", "@/zImage"},
     0,
     over + syncs + "Reading and flashing initfs image\nKilling initfs processes\n" +
         "Reading initfs image\n" + sim + again,
     "*"},
    {{"-f", "-v", "-N", "-h", "VX-510:B204", "-F", "@/fw.velkan"},
     0,
     over + contents + syncs +
         "Reading and flashing kernel image\nReading kernel image\n"
         "Reading and flashing initfs image\nReading initfs image\n" +
         sim + again,
     noid},
    {{"-f", "-N", "-v", "-h", "A:B", "-F", "@/fw.velkan", "-i", "@/none"},
     1,
     over + contents,
     noid + "@/none: No such file or directory\n"},
};

std::string expand(std::string text, const std::string &dir) {
    for (size_t at; (at = text.find('@')) != std::string::npos;)
        text.replace(at, 1, dir);
    return text;
}

TEST(CommandLine, Table) {
    if (access("/proc/component_version", F_OK) == 0)
        GTEST_SKIP() << "this machine has a device identity";
    temp_dir dir;
    vw::image kernel("kernel", std::string(300, 'k'));
    kernel.version = "2.6.28-omap1";
    kernel.valid = {{"VX-510", {"B101", "B204"}}};
    vw::container box;
    box.release = "21.2011.38-1";
    box.images = {kernel, vw::image("initfs", std::string(1000, 'i'))};
    dir.write("fw.velkan", box.encode());
    dir.write("zImage", "kernel");
    for (const row &r : rows) {
        std::vector<std::string> args;
        std::string shown;
        for (const auto &a : r.args)
            args.push_back(expand(a, dir.path())), shown += a + " ";
        auto got = run_tool(args, r.reader_gone);
        EXPECT_EQ(got.status, r.status) << shown;
        if (r.out == usage) // its first lines; the device checks the last
            EXPECT_EQ(got.out.substr(0, usage.size()), usage) << shown;
        else
            EXPECT_EQ(got.out, expand(r.out, dir.path())) << shown;
        EXPECT_EQ(r.err == "*" ? "*" : got.err, expand(r.err, dir.path())) << shown;
    }
}

} // namespace
