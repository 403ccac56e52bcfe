#include "support/fake_mtd.h"

#include "support/memory.h"

#include <algorithm>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#ifndef MEMSETOOBSEL
#define MEMSETOOBSEL _IOW('M', 9, struct nand_oobinfo)
#endif

namespace {
fake_mtd::device model;
std::string table_text;
// The descriptors open on the device, each with its position. Fixed tables:
// the model allocates nothing, so that it works while allocations fail.
constexpr int max_fd = 1024;
bool open_here[max_fd];
uint64_t positions[max_fd];

bool ours(int fd) {
    return fd >= 0 && fd < max_fd && open_here[fd];
}

// What the ECC did on reading the pages of [at, at + count): the figures of
// a MEMREAD, and the counters of ECCGETSTATS.
mtd_read_req_ecc_stats ecc_of(uint64_t at, size_t count) {
    mtd_read_req_ecc_stats figures = {};
    auto page = model.ecc.lower_bound(at - at % model.info.writesize);
    for (; page != model.ecc.end() && page->first < at + count; ++page) {
        fake_mtd::ecc_result &r = page->second;
        if (r.times == 0)
            continue;
        r.times -= r.times > 0;
        figures.uncorrectable_errors += r.failed, figures.corrected_bitflips += r.corrected;
        figures.max_bitflips = std::max(figures.max_bitflips, r.max_bitflips);
    }
    model.stats.failed += figures.uncorrectable_errors;
    model.stats.corrected += figures.corrected_bitflips;
    return figures;
}

// Copies count bytes of the flash at `at` to `to`, with the flips in range:
// looking up every byte read would fill the map.
void read_out(uint64_t at, uint8_t *to, size_t count) {
    memcpy(to, model.flash.data() + at, count);
    auto flip = model.flips.lower_bound(at);
    for (; flip != model.flips.end() && flip->first < at + count; ++flip)
        to[flip->first - at] ^= flip->second;
}

int memread(mtd_read_req *req) {
    if (model.memread_errno)
        return errno = model.memread_errno, -1;
    if (req->start + req->len > model.flash.size())
        return errno = EINVAL, -1;
    if (static_cast<int64_t>(req->start) == model.short_read)
        req->len /= 2;
    read_out(req->start, reinterpret_cast<uint8_t *>(req->usr_data), req->len);
    req->ecc_stats = ecc_of(req->start, req->len);
    errno = req->ecc_stats.uncorrectable_errors ? EBADMSG : EUCLEAN;
    return req->ecc_stats.uncorrectable_errors || req->ecc_stats.corrected_bitflips ? -1 : 0;
}

// Where a transfer of count bytes on fd starts, into *at, and how many bytes
// it moves (half of them where a short transfer is set up); -1 past the flash.
ssize_t transfer(int fd, size_t count, bool writing, uint64_t *at) {
    uint64_t &position = positions[fd];
    if (position + count > model.flash.size())
        return errno = EINVAL, -1;
    int64_t short_at = writing ? model.short_write : model.short_read;
    size_t moved = static_cast<int64_t>(position) == short_at ? count / 2 : count;
    *at = position;
    position += moved;
    return static_cast<ssize_t>(moved);
}
} // namespace

fake_mtd::device &fake_mtd::install(const device &dev, const std::string &table) {
    model = dev;
    model.flash.assign(dev.info.size, 0xFF);
    table_text = table;
    return model;
}

extern "C" {
int __real_open64(const char *path, int flags, int mode);
int __real_close(int fd);
ssize_t __real_read(int fd, void *buf, size_t count);
ssize_t __real_write(int fd, const void *buf, size_t count);
off64_t __real_lseek64(int fd, off64_t offset, int whence);
int __real_ioctl(int fd, unsigned long request, void *arg);
FILE *__real_fopen64(const char *path, const char *mode);

// The mode is only read for the C library; callers that pass none leave junk.
int __wrap_open64(const char *path, int flags, int mode) {
    if (strncmp(path, "/dev/mtd", 8) != 0)
        return __real_open64(path, flags, mode);
    if (atoi(path + 8) != model.number)
        return errno = ENOENT, -1;
    model.opens++;
    int fd = __real_open64("/dev/null", O_RDWR, 0);
    if (fd >= 0 && fd < max_fd)
        open_here[fd] = true, positions[fd] = 0;
    return fd;
}
int __wrap_close(int fd) {
    if (ours(fd))
        model.closes++, open_here[fd] = false;
    return __real_close(fd);
}
ssize_t __wrap_read(int fd, void *buf, size_t count) {
    if (!ours(fd))
        return __real_read(fd, buf, count);
    uint64_t at;
    ssize_t moved = transfer(fd, count, false, &at);
    if (moved >= 0)
        read_out(at, static_cast<uint8_t *>(buf), size_t(moved)), ecc_of(at, size_t(moved));
    return moved;
}
ssize_t __wrap_write(int fd, const void *buf, size_t count) {
    if (!ours(fd))
        return __real_write(fd, buf, count);
    uint64_t at;
    ssize_t moved = transfer(fd, count, true, &at);
    if (moved >= 0)
        memcpy(model.flash.data() + at, buf, size_t(moved));
    return moved;
}
off64_t __wrap_lseek64(int fd, off64_t offset, int whence) {
    if (!ours(fd))
        return __real_lseek64(fd, offset, whence);
    model.last_seek = static_cast<uint64_t>(offset);
    if (model.last_seek > model.flash.size()) // as the kernel refuses it
        return errno = EINVAL, -1;
    return positions[fd] = model.last_seek;
}
int __wrap_ioctl(int fd, unsigned long request, void *arg) {
    if (!ours(fd))
        return __real_ioctl(fd, request, arg);
    memory_exemption model_memory;
    if (model.requests.size() < model.requests.capacity())
        model.requests.push_back(request);
    errno = request == MEMSETOOBSEL ? model.oobsel_errno : EIO;
    if (request == model.failing_request && model.failing_times != 0)
        return model.failing_times -= model.failing_times > 0, -1;
    if (request == MEMSETOOBSEL && errno)
        return -1;
    if (request == MEMGETINFO)
        memcpy(arg, &model.info, sizeof model.info);
    if (request == ECCGETLAYOUT)
        memcpy(arg, &model.layout, sizeof model.layout);
    if (request == ECCGETSTATS)
        memcpy(arg, &model.stats, sizeof model.stats);
    if (request == MEMREAD)
        return memread(static_cast<mtd_read_req *>(arg));
    if (request == MEMGETBADBLOCK)
        return model.bad.count(*static_cast<loff_t *>(arg) / model.info.erasesize);
    if (request == MEMSETBADBLOCK)
        return model.bad.insert(*static_cast<loff_t *>(arg) / model.info.erasesize), 0;
    auto *erase = static_cast<erase_info_user *>(arg);
    if (request == MEMERASE && uint64_t(erase->start) + erase->length > model.flash.size())
        return errno = EINVAL, -1;
    if (request == MEMERASE)
        memset(model.flash.data() + erase->start, 0xFF, erase->length);
    auto *oob = static_cast<mtd_oob_buf *>(arg);
    if (request == MEMWRITEOOB)
        model.oob[oob->start].assign(oob->ptr, oob->ptr + oob->length);
    return 0;
}
int __real_access(const char *path, int mode);
int __wrap_access(const char *path, int mode) {
    if (strncmp(path, "/dev/mtd", 8) != 0)
        return __real_access(path, mode);
    return atoi(path + 8) == model.number ? 0 : (errno = ENOENT, -1);
}
FILE *__wrap_fopen64(const char *path, const char *mode) {
    static const char sysfs[] = "/sys/class/mtd/mtd";
    if (strncmp(path, sysfs, sizeof sysfs - 1) == 0) {
        const char *slash = strchr(path + sizeof sysfs - 1, '/');
        auto found = model.sysfs.end();
        if (slash) {
            memory_exemption model_memory; // the key's string
            found = model.sysfs.find(slash + 1);
        }
        if (atoi(path + sizeof sysfs - 1) != model.number || found == model.sysfs.end())
            return errno = ENOENT, nullptr;
        return fmemopen(&found->second[0], found->second.size(), mode);
    }
    if (strcmp(path, "/proc/mtd") != 0)
        return __real_fopen64(path, mode);
    if (table_text.empty())
        return errno = ENOENT, nullptr;
    return fmemopen(&table_text[0], table_text.size(), mode);
}
}
