// A model of the kernel MTD character device for the unit tests. The product
// code's system calls are routed here at link time (--wrap); calls that do not
// concern the model go on to the C library.
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

extern "C" {
int __real_open(const char *path, int flags, ...);
int __real_open64(const char *path, int flags, ...);
int __real_close(int fd);
ssize_t __real_read(int fd, void *buf, size_t count);
ssize_t __real_write(int fd, const void *buf, size_t count);
off_t __real_lseek(int fd, off_t offset, int whence);
off64_t __real_lseek64(int fd, off64_t offset, int whence);
int __real_ioctl(int fd, unsigned long request, ...);
FILE *__real_fopen(const char *path, const char *mode);
FILE *__real_fopen64(const char *path, const char *mode);

static mode_t open_mode(int flags, va_list args) {
    return (flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

int __wrap_open(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = open_mode(flags, args);
    va_end(args);
    return __real_open(path, flags, mode);
}

int __wrap_open64(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = open_mode(flags, args);
    va_end(args);
    return __real_open64(path, flags, mode);
}

int __wrap_close(int fd) {
    return __real_close(fd);
}

ssize_t __wrap_read(int fd, void *buf, size_t count) {
    return __real_read(fd, buf, count);
}

ssize_t __wrap_write(int fd, const void *buf, size_t count) {
    return __real_write(fd, buf, count);
}

off_t __wrap_lseek(int fd, off_t offset, int whence) {
    return __real_lseek(fd, offset, whence);
}

off64_t __wrap_lseek64(int fd, off64_t offset, int whence) {
    return __real_lseek64(fd, offset, whence);
}

int __wrap_ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    return __real_ioctl(fd, request, arg);
}

FILE *__wrap_fopen(const char *path, const char *mode) {
    return __real_fopen(path, mode);
}

FILE *__wrap_fopen64(const char *path, const char *mode) {
    return __real_fopen64(path, mode);
}
}
