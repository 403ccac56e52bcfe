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
        {"104", "/mnt/initfs/bin/kelmx"},
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
    struct row {
        const char *name, *prefix;
        int level, result; // result -1: the action fails
        std::vector<unsigned> acted;
        std::string out;
    } rows[] = {
        {"kelm", "/mnt/initfs", 1, 0, {102, 109}, ""},
        {nullptr, "/mnt/initfs", 0, 0, {102, 104, 107, 109, 2147483647}, ""},
        {nullptr, "/mnt/initfs/dd", 2, 0, {107}, "Killing process 107: " + cut + "\n"},
        {nullptr, "/mnt/initfs/dd", 0, -1, {107}, ""},
    };
    for (const row &r : rows) {
        acted.clear();
        action_result = r.result;
        proc_filter filter = {r.name, r.prefix, record};
        verbosity = r.level;
        output_capture capture;
        EXPECT_EQ(proc_scan_in(root.c_str(), proc_filter_apply, &filter), r.result);
        verbosity = 0;
        std::sort(acted.begin(), acted.end());
        EXPECT_EQ(acted, r.acted) << (r.name ? r.name : "-") << " " << r.prefix;
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
    EXPECT_EQ(kill_processes_under(other.path().c_str(), "/mnt/initfs"), -1);
    EXPECT_EQ(kill_processes_under(missing.c_str(), "/mnt/initfs"), -1);
    capture.stop();
    EXPECT_EQ(capture.err(), other.path() + "/100/exe: Invalid argument\n" + missing +
                                 ": No such file or directory\n");
}

TEST(KillAndWait, Table) {
    struct row {
        int kind; // 0: the id given, 2: a child left unreaped, 3: a child already gone
        unsigned pid;
        int result;
        std::string err; // "@" stands for the child's id
    } rows[] = {
        {0, 0, -1, "kill(0): Invalid argument\n"},
        {0, 0x80000000u, -1, "kill(2147483648): Invalid argument\n"},
        {2, 0, 0, "Timeout killing process @\n"},
        {3, 0, -1, "kill(@): No such process\n"},
    };
    for (const row &r : rows) {
        pid_t child = r.kind ? fork() : 0;
        if (child == 0 && r.kind) {
            pause();
            _exit(0);
        }
        if (r.kind == 3) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        unsigned pid = r.kind ? static_cast<unsigned>(child) : r.pid;
        output_capture capture;
        EXPECT_EQ(kill_and_wait(pid), r.result) << r.kind;
        capture.stop();
        std::string err = r.err;
        if (err.find('@') != std::string::npos)
            err.replace(err.find('@'), 1, std::to_string(pid));
        EXPECT_EQ(capture.err(), err) << r.kind;
        if (r.kind == 2)
            waitpid(child, nullptr, 0);
    }
}

} // namespace
