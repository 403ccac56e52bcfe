// A model of the kernel's MTD character devices and partition table for the
// unit tests. The unit_nand binary routes the product code's open, close,
// read, write, lseek, ioctl and fopen calls here at link time: "/dev/mtdN"
// opens reach the model's device N, "/proc/mtd" reads the table set here, and
// everything else goes on to the C library.
#pragma once

#include <mtd/mtd-user.h>
#include <stdint.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace fake_mtd {

// One MTD partition as the kernel presents it, with its faults.
struct device {
    // Geometry as MEMGETINFO reports it.
    uint8_t type = MTD_NANDFLASH;
    uint32_t size = 0;
    uint32_t erasesize = 0;
    uint32_t writesize = 0;
    uint32_t oobsize = 0;
    // Write offsets and lengths must be multiples of this (EINVAL otherwise).
    uint32_t subpage = 0;
    // As ECCGETLAYOUT reports it.
    nand_ecclayout_user layout = {};

    // Blocks the device reports bad. Tests may add blocks at any time.
    std::set<uint32_t> bad_blocks;

    // Byte the flash holds before anything is erased or programmed.
    uint8_t initial = 0x00;

    // Faults: a non-zero errno makes the request fail with it.
    int open_errno = 0;
    int getinfo_errno = 0;
    int ecclayout_errno = 0;
    int oobsel_errno = ENOTTY; // the kernel no longer knows MEMSETOOBSEL; 0 accepts
    int writeoob_errno = 0;
    // The bad-block query of this block fails with EIO.
    int64_t badblock_fail_block = -1;
    // Erasing one of these blocks fails with EIO (the block stays as it was).
    std::set<uint32_t> erase_fail_blocks;
    // A write that covers one of these byte addresses fails with EIO.
    std::set<uint64_t> write_fail_addresses;
    // A read that starts at one of these byte addresses fails with EIO.
    std::set<uint64_t> read_fail_addresses;
    // A read that starts at one of these byte addresses returns fewer bytes.
    std::map<uint64_t, uint32_t> short_reads; // address -> bytes returned
    // Reads return these bytes changed (xor mask) while still succeeding.
    std::map<uint64_t, uint8_t> corrupt_bytes;
};

// The geometries of the kernel's NAND simulator.
device large_page_device(uint32_t blocks); // 2048-byte pages, 128 KiB blocks, 64 OOB, free (2,38)
device small_page_device(uint32_t blocks); // 512-byte pages, 16 KiB blocks, 16 OOB, free (8,8)

// One request that reached a device, in order.
struct event {
    enum kind_t {
        open,
        close,
        seek,
        read,
        write,
        badblock,
        erase,
        writeoob,
        getinfo,
        ecclayout,
        oobsel,
        other_ioctl
    } kind;
    int device;
    uint64_t address; // seek offset, transfer start, queried / erased / OOB start
    uint64_t length;  // transfer or erase length
};

// Forgets every device, table and event, and closes descriptors left open.
void reset();
// Installs device number n ("/dev/mtdN"); its flash holds `initial` bytes.
void add_device(int n, const device &dev);
// The device (for its faults, or to add bad blocks later).
device &get(int n);

// The text "/proc/mtd" reads; without one, opening it fails with ENOENT.
void set_table(const std::string &text);
void remove_table();
int table_opens();

// Flash contents, data and OOB.
std::vector<uint8_t> data(int n, uint64_t address, uint32_t length);
std::vector<uint8_t> oob(int n, uint64_t page_address);
// Programs bytes as a write would (AND), without any checks or events.
void program(int n, uint64_t address, const std::vector<uint8_t> &bytes);

const std::vector<event> &events();
size_t count(event::kind_t kind);
void clear_events();
// Model descriptors currently open, and the flags of the last open.
int open_descriptors();
int last_open_flags();

} // namespace fake_mtd
