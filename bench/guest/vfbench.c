/* The emulated device's benchmark helper (static, musl).
 *
 *   vfbench time OUT CMD ARGS...
 *       runs CMD with its standard output and error in the file OUT and
 *       prints one line "NANOSECONDS STATUS MAXRSS_KIB USER_US SYSTEM_US":
 *       the monotonic time from before the fork to after the child was
 *       reaped, its exit status (128 + signal number when a signal ended it),
 *       its peak resident set in KiB and its CPU time in user and kernel
 *       mode (wait4's usage: the child and the children it reaped)
 *
 *   vfbench floor [--seek] DEV IMAGE [DEV IMAGE]...
 *       the least work the kernel's MTD stack allows for flashing IMAGE into
 *       the partition DEV: reads the image into memory, erases every block
 *       with one MEMERASE each, programs every page with one pwrite each and
 *       reads every page back into a second buffer with one pread each.
 *       Nothing is compared, queried or logged. With --seek each page
 *       transfer is an lseek and a write or read instead: one seek and one
 *       transfer per page, as the flasher does it.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static uint64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

static long long microseconds(struct timeval tv) {
    return (long long)tv.tv_sec * 1000000 + tv.tv_usec;
}

static int time_command(const char *out, char **argv) {
    uint64_t start = now_ns();
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        return 1;
    }
    if (pid == 0) {
        int fd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0) {
            perror(out);
            _exit(126);
        }
        close(fd);
        execvp(argv[0], argv);
        perror(argv[0]);
        _exit(127);
    }
    int status;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid) {
        perror("wait4");
        return 1;
    }
    uint64_t elapsed = now_ns() - start;
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    printf("%llu %d %ld %lld %lld\n", (unsigned long long)elapsed, code, usage.ru_maxrss,
           microseconds(usage.ru_utime), microseconds(usage.ru_stime));
    return 0;
}

/* The whole file in a heap buffer rounded up to pages of page_size bytes,
 * the tail filled with 0xFF. */
static uint8_t *load_image(const char *path, uint32_t page_size, uint32_t *length) {
    int fd = open(path, O_RDONLY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) < 0) {
        perror(path);
        return NULL;
    }
    uint32_t size = (uint32_t)st.st_size;
    uint32_t padded = (size + page_size - 1) / page_size * page_size;
    uint8_t *buf = malloc(padded ? padded : 1);
    if (!buf || read(fd, buf, size) != (ssize_t)size) {
        perror(path);
        return NULL;
    }
    close(fd);
    memset(buf + size, 0xff, padded - size);
    *length = padded;
    return buf;
}

static int seek_per_page;

static int write_page(int fd, const uint8_t *page, uint32_t size, uint32_t at) {
    if (!seek_per_page)
        return pwrite(fd, page, size, at) == (ssize_t)size;
    return lseek(fd, at, SEEK_SET) == (off_t)at && write(fd, page, size) == (ssize_t)size;
}

static int read_page(int fd, uint8_t *page, uint32_t size, uint32_t at) {
    if (!seek_per_page)
        return pread(fd, page, size, at) == (ssize_t)size;
    return lseek(fd, at, SEEK_SET) == (off_t)at && read(fd, page, size) == (ssize_t)size;
}

static int floor_one(const char *dev, const char *image) {
    int fd = open(dev, O_RDWR);
    struct mtd_info_user info;
    if (fd < 0 || ioctl(fd, MEMGETINFO, &info) < 0) {
        perror(dev);
        return 1;
    }
    uint32_t length;
    uint8_t *data = load_image(image, info.writesize, &length);
    uint8_t *back = malloc(length ? length : 1);
    if (!data || !back) {
        fprintf(stderr, "%s: no memory\n", image);
        return 1;
    }
    if (length > info.size) {
        fprintf(stderr, "%s: larger than %s\n", image, dev);
        return 1;
    }
    for (uint32_t start = 0; start < info.size; start += info.erasesize) {
        struct erase_info_user erase = {start, info.erasesize};
        if (ioctl(fd, MEMERASE, &erase) < 0) {
            fprintf(stderr, "MEMERASE %08x: %s\n", start, strerror(errno));
            return 1;
        }
    }
    for (uint32_t at = 0; at < length; at += info.writesize) {
        if (!write_page(fd, data + at, info.writesize, at)) {
            fprintf(stderr, "write %08x: %s\n", at, strerror(errno));
            return 1;
        }
    }
    for (uint32_t at = 0; at < length; at += info.writesize) {
        if (!read_page(fd, back + at, info.writesize, at)) {
            fprintf(stderr, "read %08x: %s\n", at, strerror(errno));
            return 1;
        }
    }
    free(back);
    free(data);
    close(fd);
    return 0;
}

int main(int argc, char **argv) {
    if (argc >= 4 && strcmp(argv[1], "time") == 0)
        return time_command(argv[2], argv + 3);
    if (argc >= 3 && strcmp(argv[1], "floor") == 0) {
        int first = 2;
        if (strcmp(argv[2], "--seek") == 0) {
            seek_per_page = 1;
            first = 3;
        }
        if (argc - first < 2 || (argc - first) % 2 != 0)
            goto usage;
        for (int i = first; i < argc; i += 2) {
            if (floor_one(argv[i], argv[i + 1]) != 0)
                return 1;
        }
        return 0;
    }
usage:
    fprintf(stderr, "usage: vfbench time OUT CMD ARGS... | vfbench floor [--seek] DEV IMAGE...\n");
    return 2;
}
