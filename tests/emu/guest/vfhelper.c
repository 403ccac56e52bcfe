/* Small static helper for the emulated device's test runs.
 *
 *   vfhelper                       sleeps until killed (copied under other
 *                                  names, it stands for programs running
 *                                  from the mounted initfs)
 *   vfhelper markbad-when DEV TEXT BLOCK
 *                                  waits until DEV starts with TEXT, then
 *                                  marks erase block BLOCK of DEV bad: a
 *                                  block that wears out while it is flashed
 *   vfhelper kill-when DEV TEXT PID SIGNAL...
 *                                  waits until DEV starts with TEXT, then
 *                                  sends the signals in turn to PID (0:
 *                                  none, only the wait)
 *   vfhelper badblocks DEV         prints the erase blocks of DEV that the
 *                                  kernel's bad-block query calls bad
 *   vfhelper start SIGNAL PROGRAM ARGS...
 *                                  runs PROGRAM with SIGINT, SIGTERM and
 *                                  SIGQUIT at their default actions (a
 *                                  shell's background job has SIGINT and
 *                                  SIGQUIT ignored) and SIGNAL blocked, as
 *                                  some supervisors start their children
 *                                  (0: none)
 *   vfhelper tty PROGRAM ARGS...   runs the program on a new terminal (its
 *                                  stdin, stdout and stderr), copies what it
 *                                  writes there to stdout and exits with its
 *                                  status, as "script" does
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static int on_terminal(char **argv) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) < 0 || unlockpt(master) < 0) {
        perror("vfhelper: pseudo-terminal");
        return 1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        int slave = open(ptsname(master), O_RDWR);
        if (slave < 0 || dup2(slave, 0) < 0 || dup2(slave, 1) < 0 || dup2(slave, 2) < 0)
            _exit(126);
        execvp(argv[0], argv);
        _exit(127);
    }
    char buf[4096];
    ssize_t n;
    /* The read fails (EIO) once the program and its children have closed the terminal. */
    while ((n = read(master, buf, sizeof buf)) > 0)
        fwrite(buf, 1, (size_t)n, stdout);
    int status;
    if (pid < 0 || waitpid(pid, &status, 0) < 0)
        return 1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

/* The blocks of the device that MEMGETBADBLOCK answers bad for, on one line. */
static int print_bad_blocks(const char *dev) {
    int fd = open(dev, O_RDONLY);
    struct mtd_info_user info;
    if (fd < 0 || ioctl(fd, MEMGETINFO, &info) < 0 || info.erasesize == 0) {
        perror(dev);
        return 1;
    }
    const char *sep = "";
    for (unsigned block = 0; block < info.size / info.erasesize; block++) {
        loff_t offset = (loff_t)block * info.erasesize;
        int answer = ioctl(fd, MEMGETBADBLOCK, &offset);
        if (answer < 0) {
            perror("MEMGETBADBLOCK");
            return 1;
        }
        if (answer > 0) {
            printf("%s%u", sep, block);
            sep = " ";
        }
    }
    printf("\n");
    return 0;
}

int main(int argc, char **argv) {
    if (argc == 1) {
        for (;;)
            pause();
    }
    if (argc == 3 && strcmp(argv[1], "badblocks") == 0)
        return print_bad_blocks(argv[2]);
    if (argc > 2 && strcmp(argv[1], "tty") == 0)
        return on_terminal(argv + 2);
    if (argc > 3 && strcmp(argv[1], "start") == 0) {
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        signal(SIGQUIT, SIG_DFL);
        sigset_t set;
        sigemptyset(&set);
        int blocked = (int)strtol(argv[2], NULL, 0);
        if (blocked)
            sigaddset(&set, blocked);
        sigprocmask(SIG_SETMASK, &set, NULL);
        execv(argv[3], argv + 3);
        perror(argv[3]);
        return 127;
    }
    int markbad = argc == 5 && strcmp(argv[1], "markbad-when") == 0;
    size_t len = argc > 3 ? strlen(argv[3]) : 0;
    char buf[64];
    if ((!markbad && (argc < 6 || strcmp(argv[1], "kill-when") != 0)) || len == 0 ||
        len > sizeof buf) {
        fprintf(stderr, "usage: vfhelper [markbad-when DEV TEXT BLOCK | "
                        "kill-when DEV TEXT PID SIGNAL... | badblocks DEV | "
                        "start SIGNAL PROGRAM ARGS... | tty PROGRAM ARGS...], "
                        "TEXT of 1 to 64 bytes\n");
        return 2;
    }
    int fd = open(argv[2], O_RDWR);
    struct mtd_info_user info;
    if (fd < 0 || ioctl(fd, MEMGETINFO, &info) < 0) {
        perror(argv[2]);
        return 1;
    }
    /* Both modes wait (at most 60 s) until the device starts with the text. */
    time_t limit = time(NULL) + 60;
    while (pread(fd, buf, len, 0) != (ssize_t)len || memcmp(buf, argv[3], len) != 0) {
        if (time(NULL) > limit) {
            fprintf(stderr, "vfhelper: %s never started with %s\n", argv[2], argv[3]);
            return 1;
        }
        usleep(200);
    }
    loff_t offset = (loff_t)strtol(argv[4], NULL, 0) * info.erasesize;
    if (markbad && ioctl(fd, MEMSETBADBLOCK, &offset) < 0) {
        perror("MEMSETBADBLOCK");
        return 1;
    }
    for (int i = 5; i < argc; i++) {
        if (kill((pid_t)strtol(argv[4], NULL, 0), (int)strtol(argv[i], NULL, 0)) < 0) {
            perror("kill");
            return 1;
        }
    }
    return 0;
}
