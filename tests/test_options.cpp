// Option parsing in-process: what the command line selects.
#include "log.h"
#include "main.h"
#include "support/capture.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <getopt.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

// The tool's main, renamed in this build.
int velkan_flasher_main(int argc, char **argv);

namespace {

struct parsed {
    int result;
    run_settings settings;
    int verbosity;
    int simulate;
    std::string err;
};

parsed parse(std::vector<std::string> args) {
    args.insert(args.begin(), "velkan-flasher");
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    optind = 0; // full re-initialisation of the parser
    verbosity = 0;
    simulate = 0;
    parsed p = {};
    output_capture capture;
    p.result = parse_command_line(static_cast<int>(args.size()), argv.data(), &p.settings);
    p.err = capture.err();
    p.verbosity = verbosity;
    p.simulate = simulate;
    verbosity = 0;
    simulate = 0;
    // Paths point into argv, which goes away with this frame.
    p.settings.container_path = p.settings.container_path ? "set" : nullptr;
    p.settings.kernel_path = p.settings.kernel_path ? "set" : nullptr;
    p.settings.initfs_path = p.settings.initfs_path ? "set" : nullptr;
    return p;
}

void release(parsed &p) {
    free(p.settings.override_product);
    free(p.settings.override_hw_build);
}

TEST(Options, ContainerAloneSelectsEverything) {
    auto p = parse({"-f", "-F", "fw.velkan"});
    EXPECT_EQ(p.result, cli_run);
    EXPECT_EQ(p.settings.component_mask, 15);
    EXPECT_STREQ(p.settings.container_path, "set");
}

TEST(Options, LooseFilesNarrowTheSelection) {
    EXPECT_EQ(parse({"-f", "-k", "k.bin"}).settings.component_mask, component_kernel);
    EXPECT_EQ(parse({"-f", "-F", "fw", "-k", "k.bin"}).settings.component_mask, component_kernel);
    EXPECT_EQ(parse({"-f", "-i", "i.bin"}).settings.component_mask, component_initfs);
    EXPECT_EQ(
        parse({"-f", "--flash-only", "initfs", "-k", "k", "-F", "fw"}).settings.component_mask,
        component_kernel | component_initfs);
}

TEST(Options, FlashOnlyKeywords) {
    EXPECT_EQ(parse({"-f", "--flash-only", "pirl"}).settings.component_mask, component_pirl);
    // Substring tests: one argument may name several components.
    EXPECT_EQ(parse({"-f", "--flash-only", "kernel,initfs"}).settings.component_mask,
              component_kernel | component_initfs);
    EXPECT_EQ(parse({"-f", "--flash-only", "xxkernelyy"}).settings.component_mask,
              component_kernel);
    // Case-sensitive.
    auto upper = parse({"-f", "--flash-only", "KERNEL"});
    EXPECT_EQ(upper.result, 2);
    EXPECT_EQ(upper.err, "Valid --flash-only options:\npirl, kernel, initfs, rootfs\n");
    // Refused only while the whole mask is still empty.
    auto after_kernel = parse({"-f", "-k", "k", "--flash-only", "rootfs"});
    EXPECT_EQ(after_kernel.result, cli_run);
    EXPECT_EQ(after_kernel.settings.component_mask, component_kernel);
    EXPECT_EQ(after_kernel.err, "");
}

TEST(Options, CountersAndFlags) {
    auto p = parse({"-vv", "-f", "-N", "--verbose", "-R", "-K", "-f"});
    EXPECT_EQ(p.result, cli_run);
    EXPECT_EQ(p.verbosity, 3);
    EXPECT_EQ(p.simulate, 1);
    EXPECT_EQ(p.settings.flash_requests, 2);
    EXPECT_TRUE(p.settings.restart);
    EXPECT_TRUE(p.settings.kill_request);
    auto quiet = parse({"-f"});
    EXPECT_FALSE(quiet.settings.restart);
    EXPECT_FALSE(quiet.settings.kill_request);
    EXPECT_EQ(quiet.simulate, 0);
}

TEST(Options, LastPathWins) {
    std::vector<std::string> args = {"-f", "-F", "first", "-F", "second"};
    args.insert(args.begin(), "velkan-flasher");
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    optind = 0;
    run_settings settings = {};
    ASSERT_EQ(parse_command_line(static_cast<int>(args.size()), argv.data(), &settings), cli_run);
    EXPECT_STREQ(settings.container_path, "second");
    verbosity = simulate = 0;
}

TEST(Options, Override) {
    auto p = parse({"-f", "-h", "A:B", "-h", "C"});
    EXPECT_EQ(p.result, cli_run);
    EXPECT_STREQ(p.settings.override_product, "C");
    EXPECT_STREQ(p.settings.override_hw_build, "B");
    release(p);
    auto bad = parse({"-f", "-h", ":"});
    EXPECT_EQ(bad.result, 2);
    EXPECT_EQ(bad.err, "");
}

TEST(Options, UsageCases) {
    EXPECT_EQ(parse({}).result, cli_usage);
    EXPECT_EQ(parse({}).err, "Nothing to do!\n");
    EXPECT_EQ(parse({"-?"}).result, cli_usage);
    EXPECT_EQ(parse({"-f", "-?"}).result, cli_usage);
    EXPECT_EQ(parse({"-f", "-k"}).result, cli_usage);
    // Non-option arguments are ignored.
    auto extra = parse({"stray", "-f", "words"});
    EXPECT_EQ(extra.result, cli_run);
    EXPECT_EQ(extra.settings.component_mask, 15);
}

// What descriptor fd of this process refers to, or "closed".
std::string descriptor_target(int fd) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[512];
    ssize_t length = readlink(link, target, sizeof target - 1);
    if (length < 0)
        return "closed";
    return std::string(target, static_cast<size_t>(length));
}

TEST(RunSequence, FilesNeverTakeTheNumbersOfClosedStandardStreams) {
    // Started with its standard streams closed, the tool would hand their
    // numbers to the next files it opens, and whatever it writes to stdout or
    // stderr would go into them: one of them is the partition being flashed.
    // The loose kernel's descriptor stays open after the run, so it shows
    // which number the first file got.
    temp_dir dir;
    std::string kernel = dir.write("zImage", "kernel");
    std::vector<std::string> args = {"velkan-flasher", "-f", "-N", "-h", "A:B", "-k", kernel};
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    EXPECT_EXIT(
        {
            for (int fd = 0; fd <= 2; fd++)
                close(fd);
            optind = 0;
            int status = velkan_flasher_main(static_cast<int>(args.size()), argv.data());
            bool all_null = true;
            for (int fd = 0; fd <= 2; fd++)
                all_null = all_null && descriptor_target(fd) == "/dev/null";
            _exit(status != 0 ? 10 : all_null ? 0 : 11);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
