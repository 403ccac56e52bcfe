// A model of the kernel MTD character device for the unit tests. The product
// code's system calls are routed here at link time (--wrap); calls that do not
// concern the model go on to the C library.
#include "support/fake_mtd.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

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
}

#ifndef MEMSETOOBSEL
#define MEMSETOOBSEL _IOW('M', 9, struct nand_oobinfo)
#endif

namespace fake_mtd {
namespace {

// One erase block. Its bytes stay at `fill` until something programs them,
// so erasing a large partition costs no memory.
struct block_store {
    uint8_t fill;
    std::vector<uint8_t> data;
    std::vector<uint8_t> oob; // pages per block times oobsize
};

struct model_device {
    device dev;
    std::map<uint32_t, block_store> blocks; // allocated when first touched
};

struct descriptor {
    int device;
    int flags;
    uint64_t position;
};

struct model {
    std::map<int, model_device> devices;
    std::map<int, descriptor> open; // real descriptor -> model descriptor
    bool has_table = false;
    std::string table;
    int table_opens = 0;
    int last_flags = 0;
    std::vector<event> events;
};

model &the_model() {
    static model m;
    return m;
}

void note(event::kind_t kind, int device, uint64_t address, uint64_t length) {
    the_model().events.push_back({kind, device, address, length});
}

block_store &block_of(model_device &md, uint32_t block) {
    auto it = md.blocks.find(block);
    if (it != md.blocks.end())
        return it->second;
    block_store &store = md.blocks[block];
    store.fill = md.dev.initial;
    return store;
}

// The block's bytes, materialised for programming.
block_store &programmable(model_device &md, uint32_t block) {
    block_store &store = block_of(md, block);
    if (store.data.empty()) {
        store.data.assign(md.dev.erasesize, store.fill);
        store.oob.assign(static_cast<size_t>(md.dev.erasesize / md.dev.writesize) * md.dev.oobsize,
                         store.fill);
    }
    return store;
}

uint8_t read_byte(model_device &md, uint64_t address) {
    block_store &store = block_of(md, static_cast<uint32_t>(address / md.dev.erasesize));
    return store.data.empty() ? store.fill : store.data[address % md.dev.erasesize];
}

void program_byte(model_device &md, uint64_t address, uint8_t value) {
    programmable(md, static_cast<uint32_t>(address / md.dev.erasesize))
        .data[address % md.dev.erasesize] &= value;
}

// "/dev/mtdN" with a plain decimal N, or -1.
int device_number(const char *path) {
    if (strncmp(path, "/dev/mtd", 8) != 0)
        return -1;
    const char *p = path + 8;
    if (!*p)
        return -1;
    long n = 0;
    for (; *p; p++) {
        if (*p < '0' || *p > '9' || n > 100000)
            return -1;
        n = n * 10 + (*p - '0');
    }
    return static_cast<int>(n);
}

descriptor *find(int fd) {
    auto it = the_model().open.find(fd);
    return it == the_model().open.end() ? nullptr : &it->second;
}

int fail(int err) {
    errno = err;
    return -1;
}

bool writable(const descriptor &d) {
    return (d.flags & O_ACCMODE) != O_RDONLY;
}

int model_open(const char *path, int flags) {
    int n = device_number(path);
    model &m = the_model();
    auto it = m.devices.find(n);
    if (it == m.devices.end())
        return fail(ENOENT);
    note(event::open, n, 0, 0);
    m.last_flags = flags;
    if (it->second.dev.open_errno)
        return fail(it->second.dev.open_errno);
    // A real descriptor keeps the number unique among everything the test opens.
    int fd = __real_open("/dev/null", O_RDWR);
    if (fd < 0)
        return -1;
    m.open[fd] = {n, flags, 0};
    return fd;
}

ssize_t model_read(descriptor &d, void *buf, size_t count) {
    model_device &md = the_model().devices.at(d.device);
    const device &dev = md.dev;
    uint64_t start = d.position;
    note(event::read, d.device, start, count);
    if (dev.read_fail_addresses.count(start))
        return fail(EIO);
    if (start >= dev.size)
        return 0;
    uint64_t n = std::min<uint64_t>(count, dev.size - start);
    auto short_read = dev.short_reads.find(start);
    if (short_read != dev.short_reads.end())
        n = std::min<uint64_t>(n, short_read->second);
    auto *out = static_cast<uint8_t *>(buf);
    for (uint64_t i = 0; i < n; i++) {
        out[i] = read_byte(md, start + i);
        auto corrupt = dev.corrupt_bytes.find(start + i);
        if (corrupt != dev.corrupt_bytes.end())
            out[i] ^= corrupt->second;
    }
    d.position += n;
    return static_cast<ssize_t>(n);
}

ssize_t model_write(descriptor &d, const void *buf, size_t count) {
    model_device &md = the_model().devices.at(d.device);
    const device &dev = md.dev;
    uint64_t start = d.position;
    note(event::write, d.device, start, count);
    if (!writable(d))
        return fail(EBADF);
    if (start >= dev.size)
        return fail(ENOSPC);
    uint64_t n = std::min<uint64_t>(count, dev.size - start);
    if (start % dev.subpage || n % dev.subpage)
        return fail(EINVAL);
    for (uint64_t a : dev.write_fail_addresses)
        if (a >= start && a < start + n)
            return fail(EIO);
    const auto *in = static_cast<const uint8_t *>(buf);
    for (uint64_t i = 0; i < n; i++)
        program_byte(md, start + i, in[i]);
    d.position += n;
    return static_cast<ssize_t>(n);
}

off64_t model_lseek(descriptor &d, off64_t offset, int whence) {
    const device &dev = the_model().devices.at(d.device).dev;
    int64_t base = whence == SEEK_SET   ? 0
                   : whence == SEEK_CUR ? static_cast<int64_t>(d.position)
                   : whence == SEEK_END ? static_cast<int64_t>(dev.size)
                                        : -1;
    int64_t target = base + offset;
    note(event::seek, d.device, static_cast<uint64_t>(target), 0);
    if (base < 0 || target < 0 || target > static_cast<int64_t>(dev.size))
        return fail(EINVAL);
    d.position = static_cast<uint64_t>(target);
    return target;
}

int model_ioctl(descriptor &d, unsigned long request, void *arg) {
    model_device &md = the_model().devices.at(d.device);
    device &dev = md.dev;
    int n = d.device;
    switch (request) {
    case MEMGETINFO: {
        note(event::getinfo, n, 0, 0);
        if (dev.getinfo_errno)
            return fail(dev.getinfo_errno);
        mtd_info_user info;
        memset(&info, 0, sizeof info);
        info.type = dev.type;
        info.flags = MTD_CAP_NANDFLASH;
        info.size = dev.size;
        info.erasesize = dev.erasesize;
        info.writesize = dev.writesize;
        info.oobsize = dev.oobsize;
        memcpy(arg, &info, sizeof info);
        return 0;
    }
    case ECCGETLAYOUT:
        note(event::ecclayout, n, 0, 0);
        if (dev.ecclayout_errno)
            return fail(dev.ecclayout_errno);
        memcpy(arg, &dev.layout, sizeof dev.layout);
        return 0;
    case MEMSETOOBSEL: {
        nand_oobinfo sel;
        memcpy(&sel, arg, sizeof sel);
        note(event::oobsel, n, sel.useecc, 0);
        return dev.oobsel_errno ? fail(dev.oobsel_errno) : 0;
    }
    case MEMGETBADBLOCK: {
        loff_t offset;
        memcpy(&offset, arg, sizeof offset);
        note(event::badblock, n, static_cast<uint64_t>(offset), 0);
        if (offset < 0 || static_cast<uint64_t>(offset) >= dev.size)
            return fail(EINVAL);
        auto block = static_cast<uint32_t>(static_cast<uint64_t>(offset) / dev.erasesize);
        if (static_cast<int64_t>(block) == dev.badblock_fail_block)
            return fail(EIO);
        return dev.bad_blocks.count(block) ? 1 : 0;
    }
    case MEMERASE: {
        erase_info_user erase;
        memcpy(&erase, arg, sizeof erase);
        note(event::erase, n, erase.start, erase.length);
        if (!writable(d))
            return fail(EPERM);
        if (erase.start % dev.erasesize || erase.length % dev.erasesize ||
            static_cast<uint64_t>(erase.start) + erase.length > dev.size)
            return fail(EINVAL);
        for (uint32_t b = erase.start / dev.erasesize;
             b < (erase.start + erase.length) / dev.erasesize; b++) {
            if (dev.bad_blocks.count(b) || dev.erase_fail_blocks.count(b))
                return fail(EIO);
            block_store &store = block_of(md, b);
            store.fill = 0xff;
            store.data.clear();
            store.oob.clear();
        }
        return 0;
    }
    case MEMWRITEOOB: {
        mtd_oob_buf buf;
        memcpy(&buf, arg, sizeof buf);
        note(event::writeoob, n, buf.start, buf.length);
        if (!writable(d))
            return fail(EPERM);
        if (dev.writeoob_errno)
            return fail(dev.writeoob_errno);
        uint32_t column = buf.start & (dev.writesize - 1);
        if (buf.start >= dev.size || static_cast<uint64_t>(column) + buf.length > dev.oobsize)
            return fail(EINVAL);
        std::vector<uint8_t> page_oob(dev.oobsize, 0xff);
        if (buf.length)
            memcpy(page_oob.data() + column, buf.ptr, buf.length);
        block_store &store = programmable(md, buf.start / dev.erasesize);
        size_t page = (buf.start % dev.erasesize) / dev.writesize;
        for (uint32_t i = 0; i < dev.oobsize; i++)
            store.oob[page * dev.oobsize + i] &= page_oob[i];
        return 0;
    }
    default:
        note(event::other_ioctl, n, request, 0);
        return fail(ENOTTY);
    }
}

FILE *open_table(const char *path, const char *mode) {
    model &m = the_model();
    if (strcmp(path, "/proc/mtd") != 0)
        return nullptr;
    m.table_opens++;
    if (!m.has_table || strcmp(mode, "r") != 0) {
        errno = ENOENT;
        return nullptr;
    }
    FILE *file = tmpfile();
    if (!file)
        return nullptr;
    fwrite(m.table.data(), 1, m.table.size(), file);
    rewind(file);
    return file;
}

nand_ecclayout_user layout(std::vector<uint32_t> eccpos, std::vector<nand_oobfree> regions) {
    nand_ecclayout_user l;
    memset(&l, 0, sizeof l);
    l.eccbytes = static_cast<uint32_t>(eccpos.size());
    std::copy(eccpos.begin(), eccpos.end(), l.eccpos);
    for (size_t i = 0; i < regions.size(); i++) {
        l.oobfree[i] = regions[i];
        l.oobavail += regions[i].length;
    }
    return l;
}

} // namespace

device large_page_device(uint32_t blocks) {
    device dev;
    dev.erasesize = 128 * 1024;
    dev.writesize = 2048;
    dev.oobsize = 64;
    dev.subpage = 512;
    dev.size = blocks * dev.erasesize;
    std::vector<uint32_t> eccpos;
    for (uint32_t i = 40; i < 64; i++)
        eccpos.push_back(i);
    dev.layout = layout(eccpos, {{2, 38}, {64, 0}});
    return dev;
}

device small_page_device(uint32_t blocks) {
    device dev;
    dev.erasesize = 16 * 1024;
    dev.writesize = 512;
    dev.oobsize = 16;
    dev.subpage = 512;
    dev.size = blocks * dev.erasesize;
    dev.layout = layout({0, 1, 2, 3, 6, 7}, {{8, 8}});
    return dev;
}

void reset() {
    model &m = the_model();
    for (auto &entry : m.open)
        __real_close(entry.first);
    m = model();
}

void add_device(int n, const device &dev) {
    the_model().devices[n] = {dev, {}};
}

device &get(int n) {
    return the_model().devices.at(n).dev;
}

void set_table(const std::string &text) {
    the_model().has_table = true;
    the_model().table = text;
}

void remove_table() {
    the_model().has_table = false;
}

int table_opens() {
    return the_model().table_opens;
}

std::vector<uint8_t> data(int n, uint64_t address, uint32_t length) {
    model_device &md = the_model().devices.at(n);
    std::vector<uint8_t> bytes(length);
    for (uint32_t i = 0; i < length; i++)
        bytes[i] = read_byte(md, address + i);
    return bytes;
}

std::vector<uint8_t> oob(int n, uint64_t page_address) {
    model_device &md = the_model().devices.at(n);
    block_store &store = block_of(md, static_cast<uint32_t>(page_address / md.dev.erasesize));
    if (store.oob.empty())
        return std::vector<uint8_t>(md.dev.oobsize, store.fill);
    size_t page = (page_address % md.dev.erasesize) / md.dev.writesize;
    auto first = store.oob.begin() + static_cast<ptrdiff_t>(page * md.dev.oobsize);
    return std::vector<uint8_t>(first, first + md.dev.oobsize);
}

void program(int n, uint64_t address, const std::vector<uint8_t> &bytes) {
    model_device &md = the_model().devices.at(n);
    for (size_t i = 0; i < bytes.size(); i++)
        program_byte(md, address + i, bytes[i]);
}

const std::vector<event> &events() {
    return the_model().events;
}

size_t count(event::kind_t kind) {
    const auto &all = the_model().events;
    return static_cast<size_t>(
        std::count_if(all.begin(), all.end(), [kind](const event &e) { return e.kind == kind; }));
}

void clear_events() {
    the_model().events.clear();
}

int open_descriptors() {
    return static_cast<int>(the_model().open.size());
}

int last_open_flags() {
    return the_model().last_flags;
}

} // namespace fake_mtd

using namespace fake_mtd;

extern "C" {

static mode_t open_mode(int flags, va_list args) {
    return (flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

int __wrap_open(const char *path, int flags, ...) {
    if (device_number(path) >= 0)
        return model_open(path, flags);
    va_list args;
    va_start(args, flags);
    mode_t mode = open_mode(flags, args);
    va_end(args);
    return __real_open(path, flags, mode);
}

int __wrap_open64(const char *path, int flags, ...) {
    if (device_number(path) >= 0)
        return model_open(path, flags);
    va_list args;
    va_start(args, flags);
    mode_t mode = open_mode(flags, args);
    va_end(args);
    return __real_open64(path, flags, mode);
}

int __wrap_close(int fd) {
    if (descriptor *d = find(fd)) {
        note(event::close, d->device, 0, 0);
        the_model().open.erase(fd);
    }
    return __real_close(fd);
}

ssize_t __wrap_read(int fd, void *buf, size_t count) {
    if (descriptor *d = find(fd))
        return model_read(*d, buf, count);
    return __real_read(fd, buf, count);
}

ssize_t __wrap_write(int fd, const void *buf, size_t count) {
    if (descriptor *d = find(fd))
        return model_write(*d, buf, count);
    return __real_write(fd, buf, count);
}

off_t __wrap_lseek(int fd, off_t offset, int whence) {
    if (descriptor *d = find(fd)) {
        off64_t result = model_lseek(*d, offset, whence);
        if (result > static_cast<off64_t>(static_cast<off_t>(result)))
            return fail(EOVERFLOW);
        return static_cast<off_t>(result);
    }
    return __real_lseek(fd, offset, whence);
}

off64_t __wrap_lseek64(int fd, off64_t offset, int whence) {
    if (descriptor *d = find(fd))
        return model_lseek(*d, offset, whence);
    return __real_lseek64(fd, offset, whence);
}

int __wrap_ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    if (descriptor *d = find(fd))
        return model_ioctl(*d, request, arg);
    return __real_ioctl(fd, request, arg);
}

FILE *__wrap_fopen(const char *path, const char *mode) {
    if (strcmp(path, "/proc/mtd") == 0)
        return open_table(path, mode);
    return __real_fopen(path, mode);
}

FILE *__wrap_fopen64(const char *path, const char *mode) {
    if (strcmp(path, "/proc/mtd") == 0)
        return open_table(path, mode);
    return __real_fopen64(path, mode);
}
}
