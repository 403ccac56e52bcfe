// Ending the processes that run from the mounted initfs.
#pragma once

// Criteria and action of one walk over the process list.
struct proc_filter {
    const char *exe_name;        // base name the executable must have, or null for any
    const char *exe_prefix;      // text the executable's path must begin with, or null
    int (*action)(unsigned pid); // applied to each match, or null to only log
};

// Called with each process directory; a negative result stops the walk.
typedef int (*proc_visitor)(const proc_filter *filter, const char *process_path);

// Kills "kelm" under "/mnt/initfs", then everything else under it. 0 or the
// negative result of the first walk that failed.
int kill_initfs_processes();
// The same with another process directory and mount point.
int kill_processes_under(const char *proc_dir, const char *prefix);

// Hands every process directory of "/proc" (a directory named by a process id)
// to the visitor. 0, or -1 when the directory cannot be listed or a visit failed.
int proc_scan(proc_visitor visitor, const proc_filter *filter);
int proc_scan_in(const char *proc_dir, proc_visitor visitor, const proc_filter *filter);

// Matches the process's "exe" link against the filter and applies the action
// to the id named by the path's last component. 0 when it does not match or has
// no executable, the action's result on a match, -1 on a failure.
int proc_filter_apply(const proc_filter *filter, const char *process_path);

// SIGKILL, then waits up to 2 seconds for the process to go. 0 when gone or
// timed out, -1 when a signal could not be sent.
int kill_and_wait(unsigned pid);
