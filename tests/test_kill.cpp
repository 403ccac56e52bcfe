// The process walk over a made-up process directory, and kill_and_wait on
// children of the test. The real walk over /proc is proven on the device.
#include "kill.h"
#include "log.h"
#include "support/capture.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

namespace {

std::vector<unsigned> acted;
int action_result = 0;
int record(unsigned pid) {
    acted.push_back(pid);
    return action_result;
}

void process(const std::string &root, const std::string &name, const std::string &target) {
    mkdir((root + "/" + name).c_str(), 0755);
    EXPECT_EQ(symlink(target.c_str(), (root + "/" + name + "/exe").c_str()),
              target.empty() ? -1 : 0);
}

TEST(ProcessWalk, Table) {
    temp_dir dir;
    const std::string root = dir.path();
    // The first 511 characters end in "/kelm", the whole target does not.
    const std::string cut = "/mnt/initfs/" + std::string(494, 'd') + "/kelm";
    const std::pair<const char *, std::string> entries[] = {
        {"109", "/mnt/initfs/bin/kelm"},
        {"102", "/mnt/initfs2/kelm"},
        {"103", "/usr/bin/kelm"},
        {"904", "/mnt/initfs/bin/kelmx"},
        {"107", cut + "-helper"},
        {"108", ""},
        {"2147483647", "/mnt/initfs/sbin/daemon"},
        {"p42", "/x"}};
    for (const auto &e : entries)
        process(root, e.first, e.second);
    for (const char *name : {"self", "0", "12abc", "2147483648"})
        process(root, name, "/mnt/initfs/kelm");
    dir.write("111", "a file, no process");
    ASSERT_EQ(symlink("109", (root + "/110").c_str()), 0);
    const char *dd = "/mnt/initfs/dd";
    struct row {
        const char *name, *exe, *prefix;
        int level, result; // result -1: the action fails
        std::vector<unsigned> acted;
        std::string out;
    } rows[] = {
        {"kelm under the mount", "kelm", "/mnt/initfs", 1, 0, {102, 109}, ""},
        {"all under the mount", nullptr, "/mnt/initfs", 0, 0, {102, 107, 109, 904, 2147483647}, ""},
        {"a cut target", nullptr, dd, 2, 0, {107}, "Killing process 107: " + cut + "\n"},
        {"the action fails", nullptr, dd, 0, -1, {107}, ""},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        acted.clear();
        action_result = r.result;
        proc_filter filter = {r.exe, r.prefix, record};
        verbosity = r.level;
        output_capture capture;
        EXPECT_EQ(proc_scan_in(root.c_str(), proc_filter_apply, &filter), r.result);
        verbosity = 0;
        std::sort(acted.begin(), acted.end());
        EXPECT_EQ(acted, r.acted);
        EXPECT_EQ(capture.out(), r.out);
        EXPECT_EQ(capture.err(), "");
    }
    action_result = 0;
    proc_filter filter = {nullptr, nullptr, record};
    acted.clear();
    EXPECT_EQ(proc_filter_apply(&filter, (root + "/p42").c_str()), 0);
    EXPECT_EQ(proc_filter_apply(&filter, (root + "/2147483648").c_str()), -1);
    EXPECT_EQ(acted, (std::vector<unsigned>{42}));
    EXPECT_EQ(kill_processes_under(root.c_str(), "/nowhere"), 0);

    // Failures: an "exe" that is no link, a process directory that cannot be listed.
    temp_dir other;
    process(other.path(), "100", "");
    other.write("100/exe", "not a link");
    std::string missing = root + "/missing";
    output_capture capture;
    EXPECT_EQ(proc_filter_apply(&filter, (root + "/0").c_str()), -1);
    // "/exe" makes 1024 characters; messages are cut at 1023.
    const std::string part = "/" + std::string(203, 'p'), deep = part + part + part + part + part;
    EXPECT_EQ(proc_filter_apply(&filter, deep.c_str()), -1);
    EXPECT_EQ(kill_processes_under(other.path().c_str(), "/mnt/initfs"), -1);
    EXPECT_EQ(kill_processes_under(missing.c_str(), "/mnt/initfs"), -1);
    EXPECT_EQ(capture.err(), deep + "/ex\n" + other.path() + "/100/exe: Invalid argument\n" +
                                 missing + ": No such file or directory\n");
}

pid_t paused_child() {
    pid_t child = fork();
    if (child == 0) {
        pause();
        _exit(0);
    }
    return child;
}

// A process that is gone: the command-line table.
TEST(KillAndWait, RefusalsAndTimeout) {
    pid_t unreaped = paused_child();
    output_capture capture;
    EXPECT_EQ(kill_and_wait(0), -1);
    EXPECT_EQ(kill_and_wait(0x80000000u), -1);
    // A killed child that nobody reaps still answers signal 0.
    EXPECT_EQ(kill_and_wait(static_cast<unsigned>(unreaped)), 0);
    waitpid(unreaped, nullptr, 0);
    EXPECT_EQ(capture.err(), "kill(0): Invalid argument\nkill(2147483648): Invalid argument\n"
                             "Timeout killing process " +
                                 std::to_string(unreaped) + "\n");
}

} // namespace
