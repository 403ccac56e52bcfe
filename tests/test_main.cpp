// The command line and the run sequence, through the flasher's binary as
// velkan-flasher-test builds it: its -K walks a made-up process directory. The
// host has no device identity, so every run also reports that file missing.
// What the emulated device runs as well (no arguments, a simulated restart, no
// kernel to be found) is proven there.
#include "support/process.h"
#include "velkan_writer.h"

#include <gtest/gtest.h>

#include <sstream>

#include <stdlib.h>
#include <sys/stat.h>
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
const std::string missing = "@/none: No such file or directory\n";
const std::string gone = "kill(2147483647): No such process\n"; // the made-up process
const std::string contents = "SW version in image: 21.2011.38-1\n\n"
                             "Image 'kernel', size 384 bytes\n"
                             "\tValid for VX-510: B101, B204\n"
                             "\tVersion 2.6.28-omap1\n"
                             "Image 'initfs', size 1024 bytes\n";

struct row {
    const char *name;
    std::string args; // split at blanks; "@" stands for the scratch folder
    int status;
    std::string out, err; // err: what follows the identity's line when the options pass
    bool reader_gone = false;
};

const std::vector<row> rows = {
    {"usage", "-?", 2, usage, ""},
    {"unknown component", "-f --flash-only rootfs", 2, "", "Valid --flash-only options:\n" + names},
    {"-h without a piece", "-f -h :::", 2, "", ""},
    {"-h without HW build", "-f -v -h ::A::: --flash-only pirl", 1, "", ""},
    {"-h pieces", "-f -v -h ::A::B:x --flash-only pirl", 0, over + syncs + done + again, ""},
    {"component within a word", "-f -h A:B --flash-only xpirlx", 0, done, ""},
    {"stdout closed", "-f -v -N -h A:B --flash-only pirl", 0, "", "", true},
    {"long options", "--flash --verbose --no-action --hw-revision A:B --flash-only pirl", 0,
     over + syncs + sim + again, ""},
    // The mask already holds the kernel, so "rootfs" is not refused.
    {"missing kernel file", "-f -k @/none --flash-only rootfs -h A:B", 1, "", missing},
    // The processes are killed even when flashing is only simulated.
    {"kill, simulated", "-f -v -N -K -h A:B -i @/zImage", 0,
     over + syncs + "Reading and flashing initfs image\nKilling initfs processes\n" +
         "Reading initfs image\n" + sim + again,
     gone},
    {"container", "-f -v -N -h VX-510:B204 -F @/fw.velkan", 0,
     over + contents + syncs +
         "Reading and flashing kernel image\nReading kernel image\n"
         "Reading and flashing initfs image\nReading initfs image\n" +
         sim + again,
     ""},
    {"missing initfs file", "-f -N -v -h A:B -F @/fw.velkan -i @/none", 1, over + contents,
     missing},
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
    // The process directory for -K: one process under the mount, long gone.
    mkdir((dir.path() + "/2147483647").c_str(), 0700);
    ASSERT_EQ(symlink("/mnt/initfs/kelm", (dir.path() + "/2147483647/exe").c_str()), 0);
    setenv("VF_PROC_DIR", dir.path().c_str(), 1);
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<std::string> args;
        std::istringstream words(expand(r.args, dir.path()));
        for (std::string word; words >> word;)
            args.push_back(word);
        auto got = run_tool(args, r.reader_gone);
        EXPECT_EQ(got.status, r.status);
        if (r.out == usage) // its first lines; the device checks the last
            EXPECT_EQ(got.out.substr(0, usage.size()), usage);
        else
            EXPECT_EQ(got.out, expand(r.out, dir.path()));
        EXPECT_EQ(got.err, (r.status == 2 ? "" : noid) + expand(r.err, dir.path()));
    }
}

} // namespace
