#include "kill.h"

#include "log.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr char process_dir[] = "/proc";
constexpr char initfs_mount[] = "/mnt/initfs";
constexpr char first_victim[] = "kelm"; // killed before anything else on the initfs
constexpr int wait_seconds = 2;

constexpr size_t path_size = 1024;  // process directory and its "exe" link
constexpr size_t target_size = 512; // link target, terminator included

// Reads the decimal number at the start of text. A process id must be a
// positive pid_t: 0 and anything beyond INT_MAX would make kill() signal a
// process group or every process. On success *end points behind the digits.
bool parse_pid(const char *text, unsigned *pid, const char **end) {
    if (*text < '0' || *text > '9')
        return false;
    unsigned value = 0;
    bool too_big = false;
    for (; *text >= '0' && *text <= '9'; text++) {
        unsigned digit = static_cast<unsigned>(*text - '0');
        if (value > (static_cast<unsigned>(INT_MAX) - digit) / 10)
            too_big = true;
        else
            value = value * 10 + digit;
    }
    if (too_big || value == 0)
        return false;
    *pid = value;
    *end = text;
    return true;
}

// A process directory is named by its id and nothing else.
bool is_process_entry(const char *name) {
    unsigned pid;
    const char *end;
    return parse_pid(name, &pid, &end) && *end == 0;
}

// The process id of a process directory path: the number in its last
// component, from the first digit on.
bool pid_of_path(const char *process_path, unsigned *pid) {
    const char *name = strrchr(process_path, '/');
    name = name ? name + 1 : process_path;
    while (*name && (*name < '0' || *name > '9'))
        name++;
    const char *end;
    return parse_pid(name, pid, &end);
}

bool earlier(const timespec &a, const timespec &b) {
    if (a.tv_sec != b.tv_sec)
        return a.tv_sec < b.tv_sec;
    return a.tv_nsec < b.tv_nsec;
}

} // namespace

int kill_initfs_processes() {
    return kill_processes_under(process_dir, initfs_mount);
}

int kill_processes_under(const char *proc_dir, const char *prefix) {
    proc_filter filter = {};
    filter.exe_name = first_victim;
    filter.exe_prefix = prefix;
    filter.action = kill_and_wait;
    int result = proc_scan_in(proc_dir, proc_filter_apply, &filter);
    if (result < 0)
        return result;
    filter.exe_name = nullptr;
    result = proc_scan_in(proc_dir, proc_filter_apply, &filter);
    if (result < 0)
        return result;
    return 0;
}

int proc_scan(proc_visitor visitor, const proc_filter *filter) {
    return proc_scan_in(process_dir, visitor, filter);
}

int proc_scan_in(const char *proc_dir, proc_visitor visitor, const proc_filter *filter) {
    DIR *dir = opendir(proc_dir);
    if (!dir) {
        error("%s: %s", proc_dir, strerror(errno));
        return -1;
    }
    for (;;) {
        errno = 0;
        dirent *entry = readdir(dir);
        if (!entry) {
            // An unfinished listing may hide a process that should have been visited.
            int listing_error = errno;
            closedir(dir);
            if (listing_error) {
                error("%s: %s", proc_dir, strerror(listing_error));
                return -1;
            }
            return 0;
        }
        if (entry->d_type != DT_DIR || !is_process_entry(entry->d_name))
            continue;
        char process_path[path_size];
        int length = snprintf(process_path, sizeof process_path, "%s/%s", proc_dir, entry->d_name);
        if (length < 0 || static_cast<size_t>(length) >= sizeof process_path) {
            // A cut path would name another process, or none.
            error("%s/%s: %s", proc_dir, entry->d_name, strerror(ENAMETOOLONG));
            closedir(dir);
            return -1;
        }
        if (visitor(filter, process_path) < 0) {
            closedir(dir);
            return -1;
        }
    }
}

int proc_filter_apply(const proc_filter *filter, const char *process_path) {
    char link_path[path_size];
    int length = snprintf(link_path, sizeof link_path, "%s/exe", process_path);
    if (length < 0 || static_cast<size_t>(length) >= sizeof link_path) {
        error("%s/exe: %s", process_path, strerror(ENAMETOOLONG));
        return -1;
    }

    char target[target_size];
    ssize_t read_length = readlink(link_path, target, sizeof target);
    if (read_length < 0) {
        if (errno == ENOENT) // ended meanwhile, or a kernel thread
            return 0;
        error("%s: %s", link_path, strerror(errno));
        return -1;
    }
    // One byte more than is kept is asked for, to tell a cut target.
    bool cut = static_cast<size_t>(read_length) >= sizeof target;
    if (cut)
        read_length = sizeof target - 1;
    target[read_length] = 0;

    if (filter->exe_prefix && strncmp(target, filter->exe_prefix, strlen(filter->exe_prefix)) != 0)
        return 0;
    if (filter->exe_name) {
        // The base name of a cut target is not known: it cannot be the one wanted.
        if (cut)
            return 0;
        const char *slash = strrchr(target, '/');
        const char *base = slash ? slash + 1 : target;
        if (strcmp(base, filter->exe_name) != 0)
            return 0;
    }

    unsigned pid;
    if (!pid_of_path(process_path, &pid))
        return -1;
    log_printf(2, "Killing process %d: %s", static_cast<int>(pid), target);
    if (filter->action)
        return filter->action(pid);
    return 0;
}

int kill_and_wait(unsigned pid) {
    if (pid == 0 || pid > static_cast<unsigned>(INT_MAX)) {
        error("kill(%u): %s", pid, strerror(EINVAL));
        return -1;
    }
    pid_t process = static_cast<pid_t>(pid);
    if (kill(process, SIGKILL) < 0) {
        error("kill(%u): %s", pid, strerror(errno));
        return -1;
    }

    // The monotonic clock: a change of the wall clock must not stretch or cut the wait.
    timespec deadline;
    if (clock_gettime(CLOCK_MONOTONIC, &deadline) < 0) {
        error("clock_gettime: %s", strerror(errno));
        return -1;
    }
    deadline.tv_sec += wait_seconds;

    for (;;) {
        timespec now;
        if (clock_gettime(CLOCK_MONOTONIC, &now) < 0) {
            error("clock_gettime: %s", strerror(errno));
            return -1;
        }
        if (!earlier(now, deadline)) {
            error("Timeout killing process %u", pid);
            return 0;
        }
        if (kill(process, 0) < 0) {
            if (errno == ESRCH)
                return 0;
            error("kill(%u, 0): %s", pid, strerror(errno));
            return -1;
        }
    }
}
