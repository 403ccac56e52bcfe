/* Small static helper for the emulated device's test runs.
 *
 *   vfhelper                       sleeps until killed (copied under other
 *                                  names, it stands for programs running
 *                                  from the mounted initfs)
 *   vfhelper markbad-when DEV TEXT BLOCK
 *                                  waits until DEV starts with TEXT, then
 *                                  marks erase block BLOCK of DEV bad: a
 *                                  block that wears out while it is flashed
 */
#include <errno.h>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

static int markbad_when(const char *dev, const char *text, long block) {
    int fd = open(dev, O_RDWR);
    if (fd < 0) {
        perror(dev);
        return 1;
    }
    struct mtd_info_user info;
    if (ioctl(fd, MEMGETINFO, &info) < 0) {
        perror("MEMGETINFO");
        return 1;
    }
    size_t len = strlen(text);
    char buf[64];
    if (len == 0 || len > sizeof buf) {
        fprintf(stderr, "markbad-when: text of 1 to %zu bytes\n", sizeof buf);
        return 2;
    }
    /* Poll for at most 60 s. */
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        ssize_t got = pread(fd, buf, len, 0);
        if (got == (ssize_t)len && memcmp(buf, text, len) == 0)
            break;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec > 60) {
            fprintf(stderr, "markbad-when: %s never started with %s\n", dev, text);
            return 1;
        }
        usleep(200);
    }
    loff_t offset = (loff_t)block * info.erasesize;
    if (ioctl(fd, MEMSETBADBLOCK, &offset) < 0) {
        perror("MEMSETBADBLOCK");
        return 1;
    }
    printf("markbad-when: block %ld of %s marked bad\n", block, dev);
    close(fd);
    return 0;
}

int main(int argc, char **argv) {
    if (argc == 1) {
        for (;;)
            pause();
    }
    if (argc == 5 && strcmp(argv[1], "markbad-when") == 0)
        return markbad_when(argv[2], argv[3], strtol(argv[4], NULL, 0));
    fprintf(stderr, "usage: vfhelper [markbad-when DEV TEXT BLOCK]\n");
    return 2;
}
