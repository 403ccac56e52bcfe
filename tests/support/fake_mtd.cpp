#include "support/fake_mtd.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#ifndef MEMSETOOBSEL
#define MEMSETOOBSEL _IOW('M', 9, struct nand_oobinfo)
#endif

namespace fake_mtd {
namespace {
device model;
std::string table_text;
int model_fd = -1;
uint64_t position = 0;
} // namespace

device &install(const device &dev, const std::string &table) {
    model = dev;
    model.flash.assign(dev.info.size, 0xFF);
    table_text = table;
    return model;
}

} // namespace fake_mtd

using namespace fake_mtd;

extern "C" {
int __real_open(const char *path, int flags, ...);
int __real_open64(const char *path, int flags, ...);
int __real_close(int fd);
ssize_t __real_read(int fd, void *buf, size_t count);
ssize_t __real_write(int fd, const void *buf, size_t count);
off_t __real_lseek(int fd, off_t offset, int whence);
off64_t __real_lseek64(int fd, off64_t offset, int whence);
int __real_ioctl(int fd, unsigned long request, void *arg);
FILE *__real_fopen(const char *path, const char *mode);
FILE *__real_fopen64(const char *path, const char *mode);

static int open_any(const char *path, int flags, int mode, bool large) {
    if (strncmp(path, "/dev/mtd", 8) != 0)
        return large ? __real_open64(path, flags, mode) : __real_open(path, flags, mode);
    if (atoi(path + 8) != model.number) {
        errno = ENOENT;
        return -1;
    }
    model.opens++;
    position = 0;
    model_fd = __real_open("/dev/null", O_RDWR);
    return model_fd;
}
int __wrap_open(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    int mode = va_arg(args, int);
    va_end(args);
    return open_any(path, flags, mode, false);
}
int __wrap_open64(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    int mode = va_arg(args, int);
    va_end(args);
    return open_any(path, flags, mode, true);
}
int __wrap_close(int fd) {
    if (fd == model_fd && fd >= 0)
        model.closes++, model_fd = -1;
    return __real_close(fd);
}
static ssize_t transfer(uint8_t *to_read, const uint8_t *to_write, size_t count) {
    if (position + count > model.flash.size()) {
        errno = EINVAL;
        return -1;
    }
    int64_t short_at = to_write ? model.short_write : model.short_read;
    size_t moved = static_cast<int64_t>(position) == short_at ? count / 2 : count;
    for (size_t i = 0; i < moved; i++) {
        if (to_write)
            model.flash[position + i] = to_write[i];
        else
            to_read[i] = model.flash[position + i] ^ model.flips[position + i];
    }
    position += moved;
    return static_cast<ssize_t>(moved);
}
ssize_t __wrap_read(int fd, void *buf, size_t count) {
    if (fd != model_fd || fd < 0)
        return __real_read(fd, buf, count);
    return transfer(static_cast<uint8_t *>(buf), nullptr, count);
}
ssize_t __wrap_write(int fd, const void *buf, size_t count) {
    if (fd != model_fd || fd < 0)
        return __real_write(fd, buf, count);
    return transfer(nullptr, static_cast<const uint8_t *>(buf), count);
}
off64_t __wrap_lseek64(int fd, off64_t offset, int whence) {
    if (fd != model_fd || fd < 0)
        return __real_lseek64(fd, offset, whence);
    model.last_seek = position = static_cast<uint64_t>(offset);
    return offset;
}
off_t __wrap_lseek(int fd, off_t offset, int whence) {
    if (fd != model_fd || fd < 0)
        return __real_lseek(fd, offset, whence);
    return static_cast<off_t>(__wrap_lseek64(fd, offset, whence));
}
int __wrap_ioctl(int fd, unsigned long request, void *arg) {
    if (fd != model_fd || fd < 0)
        return __real_ioctl(fd, request, arg);
    errno = request == MEMSETOOBSEL ? model.oobsel_errno : EIO;
    if (request == model.failing_request || (request == MEMSETOOBSEL && errno))
        return -1;
    if (request == MEMGETINFO)
        memcpy(arg, &model.info, sizeof model.info);
    if (request == ECCGETLAYOUT)
        memcpy(arg, &model.layout, sizeof model.layout);
    if (request == MEMGETBADBLOCK)
        return model.bad.count(
            static_cast<uint32_t>(*static_cast<loff_t *>(arg) / model.info.erasesize));
    if (request == MEMERASE) {
        auto *erase = static_cast<erase_info_user *>(arg);
        if (uint64_t(erase->start) + erase->length > model.flash.size())
            return errno = EINVAL, -1;
        memset(model.flash.data() + erase->start, 0xFF, erase->length);
    }
    if (request == MEMWRITEOOB) {
        auto *oob = static_cast<mtd_oob_buf *>(arg);
        model.oob[oob->start].assign(oob->ptr, oob->ptr + oob->length);
    }
    return 0;
}
FILE *__wrap_fopen(const char *path, const char *mode) {
    if (strcmp(path, "/proc/mtd") != 0)
        return __real_fopen(path, mode);
    if (table_text.empty())
        return errno = ENOENT, nullptr;
    return fmemopen(&table_text[0], table_text.size(), mode);
}
FILE *__wrap_fopen64(const char *path, const char *mode) {
    if (strcmp(path, "/proc/mtd") != 0)
        return __real_fopen64(path, mode);
    return __wrap_fopen(path, mode);
}
}
