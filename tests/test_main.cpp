// The command line, observed through the real binary.
#include "support/process.h"
#include "velkan_writer.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

const char usage[] = "Usage: velkan-flasher [OPTIONS]\n"
                     "Options:\n"
                     "  --verbose, -v                 Increase verbosity level\n"
                     "  --flash, -f                   Flash supplied images\n"
                     "  --reboot, -R                  Reboot the system after\n"
                     "  --velkan, -F <arg>            Location of a VELKAN image\n"
                     "  --kernel, -k <arg>            Location of kernel image\n"
                     "  --initfs, -i <arg>            Location of initfs image\n"
                     "  --kill, -K                    Kill processes on mounted initfs before "
                     "flashing\n"
                     "  --hw-revision, -h <arg>       Set HW revision override\n"
                     "  --no-action, -N               Only simulate flashing\n"
                     "  --flash-only <arg>            Flash only certain components\n";

const char valid_flash_only[] = "Valid --flash-only options:\npirl, kernel, initfs, rootfs\n";

bool has_identity_file() {
    return access("/proc/component_version", F_OK) == 0;
}

TEST(CommandLine, NoOptionsShowsUsage) {
    auto r = run_tool({});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "Nothing to do!\n");
    EXPECT_EQ(r.out, usage);
}

TEST(CommandLine, QuestionMarkShowsUsage) {
    auto r = run_tool({"-?"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, usage);
    EXPECT_EQ(r.err, "");
}

TEST(CommandLine, UnknownOptionAndMissingArgument) {
    for (auto args : {std::vector<std::string>{"-f", "-x"},
                      {"-f", "--bogus"},
                      {"-f", "-F"},
                      {"-f", "--flash-only"}}) {
        auto r = run_tool(args);
        EXPECT_EQ(r.status, 2) << args.back();
        EXPECT_EQ(r.out, usage) << args.back();
        EXPECT_NE(r.err, "") << "the parser complains first: " << args.back();
    }
}

TEST(CommandLine, UsageWinsOverEarlierOptionsAndStopsParsing) {
    // The usage ends the run at once, even after -f and before a later error.
    auto r = run_tool({"-f", "-?", "--flash-only", "rootfs"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, usage);
    EXPECT_EQ(r.err, "");
}

TEST(CommandLine, FlashOnlyNeedsAComponent) {
    auto r = run_tool({"-f", "--flash-only", "rootfs"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, valid_flash_only);
    EXPECT_EQ(r.out, "");
}

TEST(CommandLine, FlashOnlyAfterLooseKernelIsAccepted) {
    // The mask already holds the kernel, so "rootfs" is not refused; the run
    // goes on to the loose file, which is missing.
    auto r = run_tool({"-f", "-k", "/nonexistent/kernel", "--flash-only", "rootfs", "-h", "A:B"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.find("Valid --flash-only"), std::string::npos);
    EXPECT_NE(r.err.find("/nonexistent/kernel"), std::string::npos) << r.err;
}

TEST(CommandLine, OverrideWithoutProductEndsSilently) {
    for (const char *argument : {"", ":", "::"}) {
        auto r = run_tool({"-f", "-h", argument});
        EXPECT_EQ(r.status, 2) << argument;
        EXPECT_EQ(r.out, "") << argument;
        EXPECT_EQ(r.err, "") << argument;
    }
}

TEST(CommandLine, FlashRequestIsNeeded) {
    auto r = run_tool({"-v", "-N", "-h", "A:B", "--flash-only", "pirl"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "Nothing to do!\n");
    EXPECT_EQ(r.out, usage);
}

TEST(RunSequence, MissingIdentityFails) {
    if (has_identity_file())
        GTEST_SKIP() << "this machine has a device identity";
    auto r = run_tool({"-f", "-N", "--flash-only", "pirl"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "/proc/component_version: No such file or directory\n");
    EXPECT_EQ(r.out, "");
}

TEST(RunSequence, OverrideWithoutBuildIsIgnored) {
    if (has_identity_file())
        GTEST_SKIP() << "this machine has a device identity";
    auto r = run_tool({"-f", "-v", "-h", "A", "--flash-only", "pirl"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.find("override"), std::string::npos);
}

TEST(RunSequence, PirlOnlyFlashesNothingAndSucceeds) {
    auto r = run_tool({"-f", "-v", "-h", "A:B", "--flash-only", "pirl"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string expected = "Using product code and HW revision override.\n"
                           "Calling sync()\n"
                           "Image(s) successfully flashed\n"
                           "Calling sync() again\n";
    EXPECT_EQ(r.out, expected);
    if (!has_identity_file()) {
        EXPECT_EQ(r.err, "/proc/component_version: No such file or directory\n");
    }
}

TEST(RunSequence, QuietRunPrintsOnlyMilestones) {
    auto r = run_tool({"-f", "-h", "A:B", "--flash-only", "pirl"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Image(s) successfully flashed\n");
}

TEST(RunSequence, SimulatedRestartDoesNotRestart) {
    auto r = run_tool({"-f", "-N", "-R", "-h", "A:B", "--flash-only", "pirl"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Image(s) successfully flashed (not!)\nRebooting...\n");
}

TEST(RunSequence, RestartFailureIsTheExitStatus) {
    if (geteuid() == 0)
        GTEST_SKIP() << "as root the restart could succeed";
    auto r = run_tool({"-f", "-R", "-h", "A:B", "--flash-only", "pirl"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Image(s) successfully flashed\nRebooting...\n");
}

TEST(RunSequence, OutputNobodyReadsDoesNotEndTheRun) {
    // Progress lines are written for whoever reads them; when the reader has
    // gone (a pipe into a pager or logger that ended), the run must still go
    // to its end rather than die halfway through a flash.
    auto r =
        run_tool_with_stdout_reader_gone({"-f", "-v", "-N", "-h", "A:B", "--flash-only", "pirl"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err.find("Broken pipe"), std::string::npos) << r.err;
}

TEST(RunSequence, LongOptionsWork) {
    auto r = run_tool(
        {"--flash", "--verbose", "--no-action", "--hw-revision", "A:B", "--flash-only", "pirl"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Image(s) successfully flashed (not!)\n"), std::string::npos);
    EXPECT_NE(r.out.find("Calling sync() again\n"), std::string::npos);
}

TEST(RunSequence, KernelFailureStopsBeforeInitfs) {
    // No image at all: the kernel cannot be found and the run ends there.
    auto r = run_tool({"-f", "-N", "-h", "A:B"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("No suitable kernel image found.\n"), std::string::npos) << r.err;
}

TEST(RunSequence, KillStepComesBeforeTheInitfs) {
    // -N does not stop the kill step, which runs before the initfs is read.
    temp_dir dir;
    std::string initfs = dir.write("initfs", "i");
    auto r = run_tool({"-f", "-v", "-N", "-K", "-h", "A:B", "-i", initfs});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("Using product code and HW revision override.\n"
                          "Calling sync()\n"
                          "Reading and flashing initfs image\n"
                          "Killing initfs processes\n"
                          "Reading initfs image\n",
                          0),
              0u)
        << r.out;

    auto without = run_tool({"-f", "-v", "-N", "-h", "A:B", "-i", initfs});
    EXPECT_EQ(without.status, 0);
    EXPECT_EQ(without.out.find("Killing"), std::string::npos);
}

// ---- Containers on the command line

namespace vw = velkan_writer;

vw::bytes sample_container() {
    vw::image kernel("kernel", std::string(300, 'k'));
    kernel.version = "2.6.28-omap1";
    kernel.valid = {{"VX-510", {"B101", "B204"}}};
    kernel.partitions = {{1, 2, 2097152}};
    vw::container box;
    box.release = "21.2011.38-1";
    box.images = {kernel, vw::image("initfs", std::string(1000, 'i'))};
    return box.encode();
}

const char sample_contents[] = "SW version in image: 21.2011.38-1\n\n"
                               "Image 'kernel', size 384 bytes\n"
                               "\tValid for VX-510: B101, B204\n"
                               "\tVersion 2.6.28-omap1\n"
                               "Image 'initfs', size 1024 bytes\n";

TEST(Container, MalformedContainerEndsTheRun) {
    temp_dir dir;
    vw::bytes cut = sample_container();
    cut.resize(cut.size() - 1);
    const std::vector<std::pair<vw::bytes, std::string>> cases = {
        {cut, "VELKAN subimage data length mismatch\n"},
        {"\x42" + sample_container().substr(1), "Invalid VELKAN file header\n"},
    };
    for (const auto &c : cases) {
        std::string path = dir.write("bad.velkan", c.first);
        auto r = run_tool({"-f", "-N", "-v", "-h", "A:B", "-F", path});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.second), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("Calling sync()"), std::string::npos) << "nothing after the load";
    }
    auto r = run_tool({"-f", "-N", "-h", "A:B", "-F", dir.path() + "/missing.velkan"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(dir.path() + "/missing.velkan: No such file or directory\n"),
              std::string::npos)
        << r.err;
}

TEST(Container, ContentsAreLoggedAtVerbosityOne) {
    temp_dir dir;
    std::string path = dir.write("fw.velkan", sample_container());
    auto r = run_tool({"-f", "-N", "-v", "-h", "A:B", "--flash-only", "pirl", "-F", path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Using product code and HW revision override.\n" +
                         std::string(sample_contents) +
                         "Calling sync()\n"
                         "Image(s) successfully flashed (not!)\n"
                         "Calling sync() again\n");
    EXPECT_EQ(r.err.find("VELKAN"), std::string::npos) << r.err;

    // Quiet, the container says nothing.
    r = run_tool({"-f", "-N", "-h", "A:B", "--flash-only", "pirl", "-F", path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Image(s) successfully flashed (not!)\n");

    // Flashing from it goes past the load.
    r = run_tool({"-f", "-N", "-v", "-h", "VX-510:B101", "-F", path});
    EXPECT_EQ(r.out.rfind("Using product code and HW revision override.\n" +
                              std::string(sample_contents) + "Calling sync()\n",
                          0),
              0u)
        << r.out;
}

TEST(Container, LooseImageNextToTheContainer) {
    temp_dir dir;
    std::string path = dir.write("fw.velkan", sample_container());
    std::string loose = dir.write("zImage", "kernel");
    // Both load; the run goes on to the flashing.
    auto r = run_tool({"-f", "-N", "-v", "-h", "A:B", "-F", path, "-k", loose});
    EXPECT_NE(r.out.find(std::string(sample_contents) + "Calling sync()\n"), std::string::npos)
        << r.out;
    r = run_tool({"-f", "-N", "-v", "-h", "A:B", "-F", path, "-k", dir.path() + "/none"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(dir.path() + "/none: No such file or directory\n"), std::string::npos);
    EXPECT_EQ(r.out.find("Calling sync()"), std::string::npos);
}

TEST(Container, DeviceAsLooseImageEndsTheRun) {
    // A character device has no size to go by: it must not pass for an empty
    // image that is flashed with success.
    auto r = run_tool({"-f", "-N", "-h", "A:B", "-k", "/dev/null"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("/dev/null: not a regular file\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("successfully"), std::string::npos) << r.out;
}

} // namespace
