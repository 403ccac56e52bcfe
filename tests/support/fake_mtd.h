// A model of one MTD character device for what the kernel's NAND simulator
// cannot do: failing requests, short transfers, read-backs that differ, other
// chips' geometries and OOB layouts. The product code's open, close, read,
// write, lseek, ioctl, fopen and access reach it through link-time wrapping:
// "/dev/mtd<number>" is the device, "/proc/mtd" reads the table,
// "/sys/class/mtd/mtd<number>/" holds its attributes, everything else goes on
// to the C library.
#pragma once

#include <mtd/mtd-user.h>
#include <stdint.h>
#include <sys/ioctl.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace fake_mtd {

// What the ECC reports on a read of one page: on the next `times` reads of it
// (-1: every read).
struct ecc_result {
    uint32_t failed, corrected, max_bitflips;
    int times = -1;
};

struct device {
    int number = 0;
    mtd_info_user info = {MTD_NANDFLASH, MTD_WRITEABLE, 4 * 131072, 131072, 2048, 64, 0};
    nand_ecclayout_user layout = {};
    std::set<uint64_t> bad;
    unsigned long failing_request = 0;         // fails with EIO
    int failing_times = -1;                    // how often it fails; -1: always
    int oobsel_errno = ENOTTY;                 // the kernel no longer knows MEMSETOOBSEL
    int64_t short_read = -1, short_write = -1; // a transfer here moves half its bytes
    std::map<uint64_t, uint8_t> flips;         // read-back bytes changed by xor
    std::map<uint64_t, ecc_result> ecc;        // by page address
    int memread_errno = 0;                     // ENOTTY: a kernel without MEMREAD
    mtd_ecc_stats stats = {};                  // what ECCGETSTATS answers
    std::map<std::string, std::string> sysfs = {
        {"ecc_strength", "4\n"}, {"ecc_step_size", "512\n"}, {"bitflip_threshold", "3\n"}};
    std::vector<uint8_t> flash;                   // contents, all 0xFF at install
    std::map<uint64_t, std::vector<uint8_t>> oob; // OOB written, by address
    uint64_t last_seek = 0;
    int opens = 0, closes = 0;
    std::vector<unsigned long> requests; // the ioctls, in order, as far as its capacity goes
};

// The device and the partition table from now on (table empty: no "/proc/mtd").
device &install(const device &dev, const std::string &table);

} // namespace fake_mtd
