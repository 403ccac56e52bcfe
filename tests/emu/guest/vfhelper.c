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
 *                                  sends the signals in turn to PID
 */
#include <errno.h>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

/* Waits (at most 60 s) until the device behind fd starts with text. */
static int wait_for(int fd, const char *dev, const char *text) {
    size_t len = strlen(text);
    char buf[64];
    if (len == 0 || len > sizeof buf) {
        fprintf(stderr, "vfhelper: text of 1 to %zu bytes\n", sizeof buf);
        return 2;
    }
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        ssize_t got = pread(fd, buf, len, 0);
        if (got == (ssize_t)len && memcmp(buf, text, len) == 0)
            return 0;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec > 60) {
            fprintf(stderr, "vfhelper: %s never started with %s\n", dev, text);
            return 1;
        }
        usleep(200);
    }
}

int main(int argc, char **argv) {
    if (argc == 1) {
        for (;;)
            pause();
    }
    int markbad = argc == 5 && strcmp(argv[1], "markbad-when") == 0;
    if (!markbad && (argc < 6 || strcmp(argv[1], "kill-when") != 0)) {
        fprintf(stderr, "usage: vfhelper [markbad-when DEV TEXT BLOCK | "
                        "kill-when DEV TEXT PID SIGNAL...]\n");
        return 2;
    }
    int fd = open(argv[2], O_RDWR);
    struct mtd_info_user info;
    if (fd < 0 || ioctl(fd, MEMGETINFO, &info) < 0) {
        perror(argv[2]);
        return 1;
    }
    int status = wait_for(fd, argv[2], argv[3]);
    if (status != 0)
        return status;
    if (markbad) {
        loff_t offset = (loff_t)strtol(argv[4], NULL, 0) * info.erasesize;
        if (ioctl(fd, MEMSETBADBLOCK, &offset) < 0) {
            perror("MEMSETBADBLOCK");
            return 1;
        }
        return 0;
    }
    for (int i = 5; i < argc; i++) {
        if (kill((pid_t)strtol(argv[4], NULL, 0), (int)strtol(argv[i], NULL, 0)) < 0) {
            perror("kill");
            return 1;
        }
    }
    return 0;
}
