// The command line and the run sequence, through the flasher's binary as
// velkan-flasher-test builds it: its -K walks a made-up process directory. The
// host has no device identity, so every run also reports that file missing.
// What the emulated device runs as well (no arguments, a simulated restart, no
// kernel to be found) is proven there.
#include "ident.h"
#include "report.h"
#include "support/process.h"
#include "velkan_writer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>

#include <stdlib.h>
#include <string.h>
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
    {"--report to stdout", "-f --report -", 2, "",
     "--report: '-' is not allowed; give a path or /dev/fd/N\n"},
    {"--report onto the container", "-f -N --report @/fw.velkan -F @/fw.velkan", 2, "",
     "--report: @/fw.velkan is an input of the run\n"},
    {"--check without -f and components", "--check -h A:B --flash-only pirl", 0,
     "Identity: product A, HW build B (override)\n"
     "Check passed: a flash would go ahead; nothing was written\n",
     ""},
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

// --help is the usage text, then a line for each option beyond it; --version
// names the build. Both end with status 0.
TEST(CommandLine, HelpAndVersion) {
    std::string usage_text = run_tool({"-?"}).out;
    auto got = run_tool({"--help"});
    EXPECT_EQ(got.status, 0);
    ASSERT_EQ(got.out.substr(0, usage_text.size()), usage_text);
    std::istringstream rest(got.out.substr(usage_text.size()));
    std::string line;
    for (const char *option :
         {"--mark-bad", "--check", "--progress", "--report <arg>", "--help", "--version"}) {
        char column[40];
        snprintf(column, sizeof column, "  %-29s ", option);
        EXPECT_TRUE(std::getline(rest, line) && line.rfind(column, 0) == 0 &&
                    line.size() > strlen(column))
            << option << ": " << line;
    }
    EXPECT_FALSE(std::getline(rest, line)) << line;
    got = run_tool({"--version"});
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.out.rfind("velkan-flasher " VF_VERSION " (commit ", 0), 0u) << got.out;
}

// The record's strings, parsed back with a JSON parser: every byte sequence
// comes back as it was, bytes that are no UTF-8 as the code points of their
// values, and a text too long for a line is cut, with the line still whole.
TEST(Report, Strings) {
    struct {
        const char *name, *bytes, *parsed;
    } rows[] = {
        {"plain", "VF100", "VF100"},
        {"quote and backslash", "a\"b\\c", "a\"b\\c"},
        {"controls", "\x01\t\n\x1f\x7f", "\x01\t\n\x1f\x7f"},
        {"utf-8 of 2, 3 and 4 bytes", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
         "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
        {"stray bytes", "\xff\x80", "\xc3\xbf\xc2\x80"},
        {"overlong", "\xc0\xaf", "\xc3\x80\xc2\xaf"},
        {"surrogate", "\xed\xa0\x80", "\xc3\xad\xc2\xa0\xc2\x80"},
        {"beyond U+10FFFF", "\xf4\x90\x80\x80", "\xc3\xb4\xc2\x90\xc2\x80\xc2\x80"},
        {"sequence cut short", "\xe2\x82x", "\xc3\xa2\xc2\x82x"},
    };
    temp_dir dir;
    std::string path = dir.path() + "/record";
    ASSERT_EQ(report_open(path.c_str()), 0);
    std::string long_text(3000, '"');
    for (const auto &row : rows) {
        hw_ident ident = {const_cast<char *>(row.bytes), nullptr};
        report_identity(&ident, false);
    }
    hw_ident ident = {long_text.data(), long_text.data()};
    report_identity(&ident, false);
    std::ifstream file(path);
    std::string line;
    for (const auto &row : rows) {
        ASSERT_TRUE(std::getline(file, line)) << row.name;
        auto event = nlohmann::json::parse(line);
        EXPECT_EQ(event["product"], row.parsed) << row.name;
        EXPECT_TRUE(event["hw_build"].is_null()) << row.name;
    }
    ASSERT_TRUE(std::getline(file, line));
    auto event = nlohmann::json::parse(line);
    EXPECT_LE(line.size(), 4096u);
    EXPECT_EQ(long_text.rfind(event["product"].get<std::string>(), 0), 0u);
    EXPECT_TRUE(event["truncated"].get<bool>());
}

} // namespace
