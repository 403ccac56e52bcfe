// Raw NAND partitions through the kernel's MTD character devices.
#pragma once

#include <stdint.h>
#include <mtd/mtd-user.h>

// Bad blocks listed by number in a partition's record; the count goes on beyond.
constexpr int nand_max_listed_bad = 128;

// How the read-back learns what the kernel's ECC did: per read (MEMREAD, the
// figures of each request), per block (ECCGETSTATS before and after each
// block's plain reads: the partition's counters, which every other reader of
// the partition moves too, and no maximum per ECC step), or not at all.
enum class nand_ecc_reads { unknown, per_read, per_block, none };

// What the kernel's ECC did on one read.
struct nand_ecc_figures {
    uint32_t failed;       // uncorrectable errors
    uint32_t corrected;    // bit flips corrected
    uint32_t max_bitflips; // the most in one ECC step (per read only)
    bool known;            // false: the kernel does not tell
};

// One opened MTD NAND partition.
struct nand_part {
    char name[32];                 // as given to nand_open
    mtd_info_user info;            // as MEMGETINFO filled it
    nand_ecclayout_user ecclayout; // as ECCGETLAYOUT filled it
    uint32_t page_size;            // 2048 or 512
    uint64_t usable_size;          // erasesize times the good blocks last counted
    int fd;
    char path[24];  // its device, "/dev/mtd<N>"
    bool read_only; // opened with nand_read_only
    // The bad blocks found when the good ones were last counted: how many,
    // and the first nand_max_listed_bad of them.
    uint32_t bad_count;
    uint32_t bad_list[nand_max_listed_bad];
    // The chip's ECC as sysfs tells it (0: not told): bits it corrects per
    // step, the step's bytes, and the corrected bits per step at which the
    // kernel calls a read a bit-flip warning.
    uint32_t ecc_strength, ecc_step_size, bitflip_threshold;
    nand_ecc_reads ecc_reads; // found out on the first read back; at once when read-only
};

// How nand_open opens a partition: for the flash, or to look at it only. A
// partition opened read-only is asked only what reads, never a request that
// sets state; one that the flash could not open for writing is refused with
// the line that its opening for writing would print.
constexpr int nand_read_write = 0;
constexpr int nand_read_only = 1;

// The MTD device number of the first partition of that name in "/proc/mtd",
// or -1 (reported).
int mtd_find_partition(const char *name);
// The same, reading the table at table_path.
int mtd_find_partition_in(const char *table_path, const char *name);
// The same without a report: -1 when there is none or the table cannot be read.
int mtd_partition_number(const char *name);
// The device number that a file system on the MTD partition of that number
// has: that of its mtdblock device, which a file system on the MTD device
// itself (JFFS2) takes too.
unsigned long long mtd_filesystem_device(int number);

// Opens the partition of that name. 0 with *out set, or -1 (reported) with
// nothing left open and *out untouched.
int nand_open(const char *name, nand_part **out, int mode = nand_read_write);
// 0 good, 1 bad, -1 on failure (reported).
int nand_block_is_bad(nand_part *part, int block);
// The number of good blocks, or -1.
int nand_count_good_blocks(nand_part *part);
// What the kernel's ECC did on the partition's reads so far (ECCGETSTATS).
// 0, or -1 when the driver does not tell (not reported).
int nand_ecc_stats(nand_part *part, mtd_ecc_stats *stats);
// Reads length bytes from (block, page) on, within the block, in one MEMREAD
// request, with what the ECC did into *ecc. 1 when read, 0 when the kernel
// has no MEMREAD (ecc_reads is per_block or none from then on: the caller
// reads with nand_read), -1 on failure (reported; errno EIO when the chip
// failed). ECC errors are no failure here.
int nand_read_ecc(nand_part *part, int block, int page, uint8_t *buf, uint32_t length,
                  nand_ecc_figures *ecc);
// True when corrected bit flips reach the threshold: bitflip_threshold, or
// ecc_strength where sysfs has no threshold. Per block (no maximum per step),
// the corrected count stands for the maximum.
bool nand_ecc_weak(const nand_part *part, const nand_ecc_figures &ecc);
// The threshold that nand_ecc_weak goes by; 0 when unknown.
uint32_t nand_ecc_threshold(const nand_part *part);
// Counts the good blocks again into usable_size, and lists the bad ones. 0 or
// -1 (reported).
int nand_count_usable(nand_part *part);
// Marks the block bad for good (MEMSETBADBLOCK). 0 or -1 (reported).
int nand_mark_bad(nand_part *part, int block);
void nand_close(nand_part *part);

// The page and block operations below return 0, or -1 after a report with
// errno telling why: EIO when the chip failed the operation.

// One page of page_size bytes at (block, page).
int nand_read(nand_part *part, int block, int page, uint8_t *buf);
int nand_write(nand_part *part, int block, int page, const uint8_t *data);
int nand_erase(nand_part *part, int block);
// The JFFS2 clean marker into the free OOB bytes of the block's first page.
int nand_write_cleanmarker(nand_part *part, int block);
// 0 when the OOB layout can take the clean marker; -1 (reported) otherwise.
int nand_check_cleanmarker(const nand_part *part);
