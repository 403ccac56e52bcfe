#include "kill.h"
#include "log.h"
#include "support/capture.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <errno.h>
#include <fcntl.h>
#include <functional>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <sched.h>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

// ---- helpers ---------------------------------------------------------------

std::vector<unsigned> acted;
int action_result = 0;

int record_action(unsigned pid) {
    acted.push_back(pid);
    return action_result;
}

std::vector<std::string> visited;

int record_visit(const proc_filter *, const char *process_path) {
    visited.push_back(process_path);
    return 0;
}

struct verbosity_setting {
    int saved;
    explicit verbosity_setting(int level) : saved(verbosity) {
        verbosity = level;
    }
    ~verbosity_setting() {
        verbosity = saved;
    }
};

void make_dirs(const std::string &path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string part = path.substr(0, slash);
        if (mkdir(part.c_str(), 0755) < 0 && errno != EEXIST)
            FAIL() << "mkdir " << part << ": " << strerror(errno);
        if (slash == std::string::npos)
            return;
    }
}

// A process directory with an "exe" link to target (none when target is empty).
void make_process(const std::string &root, const std::string &name, const std::string &target) {
    std::string dir = root + "/" + name;
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0) << dir;
    if (!target.empty()) {
        ASSERT_EQ(symlink(target.c_str(), (dir + "/exe").c_str()), 0) << dir;
    }
}

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

template <typename T> std::vector<T> sorted(std::vector<T> values) {
    std::sort(values.begin(), values.end());
    return values;
}

std::string read_link(const std::string &path) {
    char target[4096];
    ssize_t n = readlink(path.c_str(), target, sizeof target);
    return n < 0 ? std::string() : std::string(target, static_cast<size_t>(n));
}

bool exists(pid_t pid) {
    return kill(pid, 0) == 0;
}

// What a call made in a forked child returned and wrote.
struct child_outcome {
    int result = 0;
    std::string out, err;
    bool completed = false; // false: the child died or could not report
};

child_outcome run_in_child(const std::function<int()> &call) {
    child_outcome outcome;
    int pipe_fds[2];
    if (pipe(pipe_fds) < 0)
        return outcome;
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        close(pipe_fds[0]);
        setsid(); // a process group of its own
        output_capture capture;
        int result = call();
        capture.stop();
        std::string report = std::to_string(result) + "\n" + std::to_string(capture.out().size()) +
                             "\n" + capture.out() + capture.err();
        if (write(pipe_fds[1], report.data(), report.size()) < 0)
            _exit(1);
        _exit(0);
    }
    close(pipe_fds[1]);
    std::string report;
    char buf[1024];
    for (ssize_t n; (n = read(pipe_fds[0], buf, sizeof buf)) > 0;)
        report.append(buf, static_cast<size_t>(n));
    close(pipe_fds[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return outcome;
    size_t first = report.find('\n');
    size_t second = first == std::string::npos ? first : report.find('\n', first + 1);
    if (second == std::string::npos)
        return outcome;
    outcome.result = atoi(report.substr(0, first).c_str());
    size_t out_size = strtoul(report.substr(first + 1, second - first - 1).c_str(), nullptr, 10);
    outcome.out = report.substr(second + 1, out_size);
    outcome.err = report.substr(second + 1 + out_size);
    outcome.completed = true;
    return outcome;
}

// No process runs under this user id.
constexpr uid_t unused_uid = 54321;

// ---- a process directory of our own making ----------------------------------

class FakeProcessDir : public testing::Test {
  protected:
    void SetUp() override {
        // Digits in the directory's own path must not be taken for a process id.
        root = dir.path() + "/proc7";
        make_dirs(root);
        acted.clear();
        visited.clear();
        action_result = 0;
    }

    std::vector<unsigned> matches(const char *name, const char *prefix) {
        acted.clear();
        proc_filter filter = {name, prefix, record_action};
        output_capture capture;
        EXPECT_EQ(proc_scan_in(root.c_str(), proc_filter_apply, &filter), 0);
        capture.stop();
        EXPECT_EQ(capture.err(), "");
        return sorted(acted);
    }

    temp_dir dir;
    std::string root;
    verbosity_setting quiet{0};
};

TEST_F(FakeProcessDir, FilterMatchesPrefixAndBaseName) {
    make_process(root, "100", "/mnt/initfs/bin/kelm");
    make_process(root, "101", "/mnt/initfs/usr/sbin/daemon");
    make_process(root, "102", "/mnt/initfs2/kelm"); // sibling: the prefix is plain text
    make_process(root, "103", "/usr/bin/kelm");
    make_process(root, "104", "/mnt/initfs/bin/kelmx");
    make_process(root, "105", "/mnt/initfs/bin/xkelm");
    make_process(root, "106", "kelm"); // no slash: the whole target is the base name
    make_process(root, "107", "/mnt/initfs/kelm/daemon");
    make_process(root, "108", ""); // no executable, as a kernel thread

    using ids = std::vector<unsigned>;
    EXPECT_EQ(matches("kelm", "/mnt/initfs"), (ids{100, 102}));
    EXPECT_EQ(matches(nullptr, "/mnt/initfs"), (ids{100, 101, 102, 104, 105, 107}));
    EXPECT_EQ(matches("kelm", nullptr), (ids{100, 102, 103, 106}));
    EXPECT_EQ(matches(nullptr, nullptr), (ids{100, 101, 102, 103, 104, 105, 106, 107}));
    EXPECT_EQ(matches("kelm", "/mnt/initfs/"), (ids{100}));
    EXPECT_EQ(matches("daemon", "/opt"), (ids{}));
}

TEST_F(FakeProcessDir, OnlyDirectoriesNamedByAProcessIdAreVisited) {
    make_process(root, "300", "/mnt/initfs/bin/kelm");
    for (const char *name : {"self", "0", "12abc", "+5", "2147483648", "99999999999999999999"})
        make_process(root, name, "/mnt/initfs/bin/kelm");
    ASSERT_EQ(symlink("300", (root + "/301").c_str()), 0);
    dir.write("proc7/302", "a file\n");

    proc_filter filter = {nullptr, nullptr, nullptr};
    EXPECT_EQ(proc_scan_in(root.c_str(), record_visit, &filter), 0);
    EXPECT_EQ(visited, std::vector<std::string>{root + "/300"});
}

TEST_F(FakeProcessDir, EachMatchIsLoggedAtLevelTwo) {
    make_process(root, "100", "/mnt/initfs/bin/kelm");
    make_process(root, "2147483647", "/mnt/initfs/sbin/daemon");
    make_process(root, "300", "/usr/bin/other");
    proc_filter filter = {nullptr, "/mnt/initfs", nullptr}; // only logged

    for (int level : {1, 2}) {
        verbosity_setting setting(level);
        output_capture capture;
        EXPECT_EQ(proc_scan_in(root.c_str(), proc_filter_apply, &filter), 0);
        capture.stop();
        EXPECT_EQ(capture.err(), "");
        if (level == 1) {
            EXPECT_EQ(capture.out(), "");
        } else {
            EXPECT_EQ(
                sorted(split_lines(capture.out())),
                (std::vector<std::string>{"Killing process 100: /mnt/initfs/bin/kelm",
                                          "Killing process 2147483647: /mnt/initfs/sbin/daemon"}));
        }
    }
}

TEST_F(FakeProcessDir, ProcessIdComesFromTheLastComponent) {
    for (const char *name : {"p42", "abc", "0", "99999999999", "2147483648"})
        make_process(root, name, "/mnt/initfs/bin/daemon");
    proc_filter filter = {nullptr, nullptr, record_action};

    output_capture capture;
    EXPECT_EQ(proc_filter_apply(&filter, (root + "/p42").c_str()), 0);
    for (const char *name : {"abc", "0", "99999999999", "2147483648"})
        EXPECT_EQ(proc_filter_apply(&filter, (root + "/" + name).c_str()), -1) << name;
    capture.stop();
    EXPECT_EQ(acted, std::vector<unsigned>{42});
    EXPECT_EQ(capture.err(), "");
}

TEST_F(FakeProcessDir, ActionFailureStopsTheWalk) {
    for (const char *name : {"100", "101", "102"})
        make_process(root, name, "/mnt/initfs/bin/daemon");
    action_result = -1;
    proc_filter filter = {nullptr, "/mnt/initfs", record_action};
    EXPECT_EQ(proc_scan_in(root.c_str(), proc_filter_apply, &filter), -1);
    EXPECT_EQ(acted.size(), 1u);
}

TEST_F(FakeProcessDir, UnreadableLinkStopsBothPasses) {
    make_process(root, "100", "");
    dir.write("proc7/100/exe", "not a link"); // readlink fails with EINVAL
    make_process(root, "101", "/usr/bin/other");

    proc_filter filter = {nullptr, nullptr, record_action};
    output_capture capture;
    EXPECT_EQ(proc_filter_apply(&filter, (root + "/100").c_str()), -1);
    // The first pass stops there, and the second is not made: one message.
    EXPECT_EQ(kill_processes_under(root.c_str(), "/mnt/initfs"), -1);
    capture.stop();
    std::string message = root + "/100/exe: Invalid argument\n";
    EXPECT_EQ(capture.err(), message + message);
    EXPECT_TRUE(acted.empty());
}

TEST_F(FakeProcessDir, UnopenableDirectoryIsReported) {
    std::string missing = root + "/missing";
    proc_filter filter = {nullptr, nullptr, record_action};
    output_capture capture;
    EXPECT_EQ(proc_scan_in(missing.c_str(), proc_filter_apply, &filter), -1);
    EXPECT_EQ(kill_processes_under(missing.c_str(), "/mnt/initfs"), -1);
    capture.stop();
    std::string message = missing + ": No such file or directory\n";
    EXPECT_EQ(capture.err(), message + message);
}

TEST_F(FakeProcessDir, NothingToKillIsQuiet) {
    make_process(root, "100", "/usr/bin/kelm");
    make_process(root, "101", "/mnt/initfs2");
    make_process(root, "102", "");
    verbosity_setting chatty(4);
    output_capture capture;
    EXPECT_EQ(kill_processes_under(root.c_str(), "/mnt/initfs/"), 0);
    capture.stop();
    EXPECT_EQ(capture.out(), "");
    EXPECT_EQ(capture.err(), "");
}

TEST_F(FakeProcessDir, LongLinkTargetIsCutAndNeverMatchesByName) {
    // The first 511 characters end in "/kelm", the whole target does not.
    std::string head = "/mnt/initfs/";
    head += std::string(511 - head.size() - 5, 'd') + "/kelm";
    ASSERT_EQ(head.size(), 511u);
    make_process(root, "100", head + "-helper");

    EXPECT_TRUE(matches("kelm", "/mnt/initfs").empty());
    verbosity_setting setting(2);
    proc_filter filter = {nullptr, "/mnt/initfs", record_action};
    output_capture capture;
    EXPECT_EQ(proc_scan_in(root.c_str(), proc_filter_apply, &filter), 0);
    capture.stop();
    EXPECT_EQ(capture.out(), "Killing process 100: " + head + "\n");
    EXPECT_EQ(acted, std::vector<unsigned>{100});
}

TEST_F(FakeProcessDir, PathsThatDoNotFitAreRefused) {
    // A process directory path of exactly 1023 characters fits, one more does not.
    std::string deep = root;
    while (deep.size() < 1013)
        deep += "/" + std::string(std::min<size_t>(200, 1013 - deep.size() - 1), 'x');
    ASSERT_EQ(deep.size(), 1013u);
    make_dirs(deep);
    make_process(deep, "100000000", "");
    proc_filter filter = {nullptr, nullptr, record_action};
    EXPECT_EQ(proc_scan_in(deep.c_str(), record_visit, &filter), 0);
    ASSERT_EQ(visited.size(), 1u);
    EXPECT_EQ(visited[0].size(), 1023u);

    make_process(deep, "1000000000", "");
    visited.clear();
    output_capture capture;
    EXPECT_EQ(proc_scan_in(deep.c_str(), record_visit, &filter), -1);
    for (const auto &path : visited)
        EXPECT_EQ(path, deep + "/100000000");

    // The link path "%s/exe" must fit as well: cut short, this one would name
    // the link of another process.
    make_process(deep, "12345", "/mnt/initfs/bin/kelm");
    std::string long_process = deep + "/12345/exe/6";
    EXPECT_EQ(proc_filter_apply(&filter, long_process.c_str()), -1);
    capture.stop();
    EXPECT_TRUE(acted.empty());
    // Both messages name the long path (and are cut at the line limit).
    auto messages = split_lines(capture.err());
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].substr(0, deep.size() + 10), deep + "/100000000");
    EXPECT_EQ(messages[1].substr(0, deep.size() + 10), deep + "/12345/exe");
}

// ---- kill_and_wait on its own ------------------------------------------------

TEST(KillAndWait, RefusesIdsThatSignalGroups) {
    // Run where a fault would only take down the child's own process group.
    child_outcome zero = run_in_child([] { return kill_and_wait(0); });
    ASSERT_TRUE(zero.completed) << "the child was signalled";
    EXPECT_EQ(zero.result, -1);
    EXPECT_EQ(zero.err, "kill(0): Invalid argument\n");

    child_outcome beyond = run_in_child([] { return kill_and_wait(2147483648u); });
    ASSERT_TRUE(beyond.completed);
    EXPECT_EQ(beyond.result, -1);
    EXPECT_EQ(beyond.err, "kill(2147483648): Invalid argument\n");
}

TEST(KillAndWait, RefusesTheIdThatSignalsEveryone) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the case as an unused user; as this user a "
                        "fault would signal every process of the user";
    child_outcome all = run_in_child([] {
        if (setuid(unused_uid) < 0)
            return -100;
        return kill_and_wait(UINT_MAX);
    });
    ASSERT_TRUE(all.completed);
    EXPECT_EQ(all.result, -1);
    EXPECT_EQ(all.err, "kill(4294967295): Invalid argument\n");
}

TEST(KillAndWait, VanishedProcessIsAFailureToSignal) {
    pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
    output_capture capture;
    EXPECT_EQ(kill_and_wait(static_cast<unsigned>(pid)), -1);
    capture.stop();
    EXPECT_EQ(capture.err(), "kill(" + std::to_string(pid) + "): No such process\n");
}

// ---- real processes ----------------------------------------------------------

// Children run copies of a sleeper placed under a directory that stands in for
// the mount point. The copies are host programs: under an emulator they run
// natively, and their "exe" links name the copies all the same.
class RealProcesses : public testing::Test {
  protected:
    void SetUp() override {
        char *resolved = realpath(dir.path().c_str(), nullptr);
        ASSERT_NE(resolved, nullptr);
        base = resolved;
        free(resolved);
        mount = base + "/initfs";
        make_dirs(mount);
        acted.clear();
    }

    void TearDown() override {
        // Only those still running a copy: the id of one that is gone may be reused.
        for (pid_t pid : sleepers)
            if (read_link("/proc/" + std::to_string(pid) + "/exe").rfind(base + "/", 0) == 0)
                kill(pid, SIGKILL);
        for (pid_t pid : children)
            waitpid(pid, nullptr, 0);
    }

    // Copies the sleeper to base/relative and returns the copy's path.
    std::string install(const std::string &relative) {
        std::string path = base + "/" + relative;
        make_dirs(path.substr(0, path.rfind('/')));
        int in = open(sleeper_program, O_RDONLY);
        int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0755);
        EXPECT_GE(in, 0);
        EXPECT_GE(out, 0);
        char buf[65536];
        for (ssize_t n; (n = read(in, buf, sizeof buf)) > 0;)
            EXPECT_EQ(write(out, buf, static_cast<size_t>(n)), n);
        close(in);
        close(out);
        return path;
    }

    // Starts a sleeper whose parent waits for it, so that it leaves the process
    // table as soon as it is killed. Like the kernel's own, its entry in the
    // mirror loses the "exe" link when it ends, before it is reaped.
    pid_t start_reaped(const std::string &relative) {
        std::string path = install(relative);
        int pipe_fds[2];
        EXPECT_EQ(pipe(pipe_fds), 0);
        pid_t reaper = fork();
        if (reaper == 0) {
            close(pipe_fds[0]);
            pid_t pid = launch(path);
            if (write(pipe_fds[1], &pid, sizeof pid) != sizeof pid)
                _exit(1);
            close(pipe_fds[1]);
            siginfo_t info;
            waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
            unlink(mirror_link(pid).c_str());
            waitpid(pid, nullptr, 0);
            _exit(0);
        }
        close(pipe_fds[1]);
        pid_t pid = -1;
        EXPECT_EQ(read(pipe_fds[0], &pid, sizeof pid), static_cast<ssize_t>(sizeof pid));
        close(pipe_fds[0]);
        children.push_back(reaper);
        return started(pid, path);
    }

    // Starts a sleeper that stays in the process table after it is killed,
    // until this process reaps it.
    pid_t start_unreaped(const std::string &relative) {
        std::string path = install(relative);
        pid_t pid = launch(path);
        children.push_back(pid);
        return started(pid, path);
    }

    std::string mirror_root() const {
        return base + "/proc";
    }
    std::string mirror_link(pid_t pid) const {
        return mirror_root() + "/" + std::to_string(pid) + "/exe";
    }

    // A process directory that lists the given processes with their real links.
    std::string mirror(const std::vector<pid_t> &pids) {
        std::string root = mirror_root();
        make_dirs(root);
        for (pid_t pid : pids) {
            std::string target = read_link("/proc/" + std::to_string(pid) + "/exe");
            EXPECT_NE(target, "");
            make_process(root, std::to_string(pid), target);
        }
        return root;
    }

    std::string killing_line(pid_t pid, const std::string &relative) {
        return "Killing process " + std::to_string(pid) + ": " + base + "/" + relative;
    }

    temp_dir dir;
    std::string base, mount;
    std::string proc_view = "/proc"; // where this process sees the process list
    std::vector<pid_t> sleepers, children;
    verbosity_setting chatty{2};

  private:
    static constexpr const char *sleeper_program = "/bin/sleep";

    static pid_t launch(const std::string &path) {
        pid_t pid = fork();
        if (pid == 0) {
            execl(path.c_str(), "sleep", "30", static_cast<char *>(nullptr));
            _exit(127);
        }
        return pid;
    }

    // Waits until the child runs the copy.
    pid_t started(pid_t pid, const std::string &path) {
        EXPECT_GT(pid, 0);
        if (pid <= 0)
            return pid;
        sleepers.push_back(pid);
        std::string link = proc_view + "/" + std::to_string(pid) + "/exe";
        for (int i = 0; i < 5000 && read_link(link) != path; i++)
            usleep(1000);
        EXPECT_EQ(read_link(link), path);
        return pid;
    }
};

TEST_F(RealProcesses, KelmFirstThenEverythingUnderTheMountPoint) {
    pid_t kelm = start_reaped("initfs/bin/kelm");
    pid_t daemon = start_reaped("initfs/sbin/daemon");
    pid_t sibling = start_reaped("initfs-old/bin/tool");
    pid_t outside = start_reaped("outside/kelm");
    std::string root = mirror({kelm, daemon, sibling, outside});

    output_capture capture;
    int result = kill_processes_under(root.c_str(), mount.c_str());
    capture.stop();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(capture.err(), "");
    auto lines = split_lines(capture.out());
    ASSERT_EQ(lines.size(), 3u) << capture.out();
    EXPECT_EQ(lines[0], killing_line(kelm, "initfs/bin/kelm"));
    EXPECT_EQ(sorted(std::vector<std::string>(lines.begin() + 1, lines.end())),
              sorted(std::vector<std::string>{killing_line(daemon, "initfs/sbin/daemon"),
                                              killing_line(sibling, "initfs-old/bin/tool")}));
    EXPECT_FALSE(exists(kelm));
    EXPECT_FALSE(exists(daemon));
    EXPECT_FALSE(exists(sibling));
    EXPECT_TRUE(exists(outside));
}

TEST_F(RealProcesses, LiveProcessDirectories) {
    pid_t daemon = start_reaped("initfs/sbin/daemon");
    pid_t outside = start_reaped("outside/daemon");
    pid_t zombie = start_unreaped("initfs/sbin/zombie");
    ASSERT_EQ(kill(zombie, SIGKILL), 0);
    std::string zombie_link = "/proc/" + std::to_string(zombie) + "/exe";
    for (int i = 0; i < 5000 && !read_link(zombie_link).empty(); i++)
        usleep(1000);

    proc_filter filter = {nullptr, mount.c_str(), kill_and_wait};
    std::string daemon_dir = "/proc/" + std::to_string(daemon);
    output_capture capture;
    EXPECT_EQ(proc_filter_apply(&filter, daemon_dir.c_str()), 0);
    EXPECT_FALSE(exists(daemon));
    // Gone now: skipped without a word, as is a killed process not yet reaped.
    EXPECT_EQ(proc_filter_apply(&filter, daemon_dir.c_str()), 0);
    EXPECT_EQ(proc_filter_apply(&filter, ("/proc/" + std::to_string(zombie)).c_str()), 0);
    EXPECT_EQ(proc_filter_apply(&filter, ("/proc/" + std::to_string(outside)).c_str()), 0);
    // Process 2 is the kernel's thread starter where the process list is the
    // machine's own; in a container it may be missing, which is skipped alike.
    EXPECT_EQ(proc_filter_apply(&filter, "/proc/2"), 0);
    capture.stop();
    EXPECT_TRUE(exists(outside));
    EXPECT_EQ(capture.err(), "");
    EXPECT_EQ(capture.out(), killing_line(daemon, "initfs/sbin/daemon") + "\n");
}

TEST_F(RealProcesses, WholeProcessListOfAPidNamespace) {
    // A process list of our own: a new PID namespace whose first process mounts
    // its own view of the process directories and walks it.
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a PID namespace";
    std::string proc_dir = base + "/proc-ns";
    make_dirs(proc_dir);
    std::string prefix = mount;
    child_outcome outcome = run_in_child([&] {
        if (unshare(CLONE_NEWPID | CLONE_NEWNS) < 0)
            return -100;
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0)
            return -100;
        pid_t first = fork();
        if (first == 0) {
            if (::mount("proc", proc_dir.c_str(), "proc", 0, nullptr) < 0)
                _exit(100);
            proc_view = proc_dir;
            pid_t daemon = start_reaped("initfs/sbin/daemon");
            pid_t kelm = start_reaped("initfs/bin/kelm");
            pid_t outside = start_reaped("outside/kelm");
            int result = kill_processes_under(proc_dir.c_str(), prefix.c_str());
            fprintf(stderr, "%d %d %d %d %d %d\n", kelm, daemon, outside, exists(kelm),
                    exists(daemon), exists(outside));
            fflush(stdout);
            fflush(stderr);
            _exit(result == 0 ? 0 : 1);
        }
        int status = 0;
        if (first < 0 || waitpid(first, &status, 0) != first || !WIFEXITED(status))
            return -1;
        return WEXITSTATUS(status) == 100 ? -100 : -WEXITSTATUS(status);
    });
    ASSERT_TRUE(outcome.completed);
    if (outcome.result == -100)
        GTEST_SKIP() << "no PID namespace with its own process directories here";
    EXPECT_EQ(outcome.result, 0) << outcome.err;
    int kelm = 0, daemon = 0, outside = 0, kelm_alive = 1, daemon_alive = 1, outside_alive = 0;
    ASSERT_EQ(sscanf(outcome.err.c_str(), "%d %d %d %d %d %d", &kelm, &daemon, &outside,
                     &kelm_alive, &daemon_alive, &outside_alive),
              6)
        << outcome.err;
    EXPECT_EQ(outcome.out, killing_line(kelm, "initfs/bin/kelm") + "\n" +
                               killing_line(daemon, "initfs/sbin/daemon") + "\n");
    EXPECT_FALSE(kelm_alive);
    EXPECT_FALSE(daemon_alive);
    EXPECT_TRUE(outside_alive);
}

TEST_F(RealProcesses, UnreapedProcessTimesOutAndTheWalkGoesOn) {
    pid_t stuck = start_unreaped("initfs/bin/stuck");
    pid_t daemon = start_reaped("initfs/sbin/daemon");
    std::string root = mirror({stuck, daemon});

    timespec before, after;
    clock_gettime(CLOCK_MONOTONIC, &before);
    output_capture capture;
    int result = kill_processes_under(root.c_str(), mount.c_str());
    capture.stop();
    clock_gettime(CLOCK_MONOTONIC, &after);

    EXPECT_EQ(result, 0);
    EXPECT_EQ(capture.err(), "Timeout killing process " + std::to_string(stuck) + "\n");
    EXPECT_EQ(split_lines(capture.out()).size(), 2u);
    EXPECT_FALSE(exists(daemon));
    double seconds = double(after.tv_sec - before.tv_sec) + (after.tv_nsec - before.tv_nsec) / 1e9;
    EXPECT_GE(seconds, 2.0);
    int status = 0;
    ASSERT_EQ(waitpid(stuck, &status, 0), stuck);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
}

TEST_F(RealProcesses, NoPrivilegeToSignalStopsTheWalk) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the walk as another user";
    pid_t first = start_reaped("initfs/sbin/first");
    pid_t second = start_reaped("initfs/sbin/second");
    std::string root = mirror({first, second});
    std::string prefix = mount;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    child_outcome outcome = run_in_child([&] {
        if (setuid(unused_uid) < 0)
            return -100;
        return kill_processes_under(root.c_str(), prefix.c_str());
    });
    ASSERT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.result, -1);
    // One refusal, for whichever was listed first; then the walk ends.
    std::string refused_first = "kill(" + std::to_string(first) + "): Operation not permitted\n";
    std::string refused_second = "kill(" + std::to_string(second) + "): Operation not permitted\n";
    EXPECT_TRUE(outcome.err == refused_first || outcome.err == refused_second) << outcome.err;
    EXPECT_TRUE(exists(first));
    EXPECT_TRUE(exists(second));
}

} // namespace
