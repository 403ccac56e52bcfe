#include "nand.h"

#include "geometry.h"
#include "log.h"
#include "owners.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

// The kernel header no longer defines the legacy OOB placement request.
#ifndef MEMSETOOBSEL
#define MEMSETOOBSEL _IOW('M', 9, struct nand_oobinfo)
#endif

static_assert(sizeof(mtd_info_user) == 32, "mtd_info_user layout");
static_assert(sizeof(nand_ecclayout_user) == 328, "nand_ecclayout_user layout");
static_assert(sizeof(nand_oobinfo) == 200, "nand_oobinfo layout");
static_assert(sizeof(erase_info_user) == 8, "erase_info_user layout");
static_assert(sizeof(mtd_ecc_stats) == 16, "mtd_ecc_stats layout");
static_assert(sizeof(mtd_read_req) == 64, "mtd_read_req layout");
static_assert(sizeof(loff_t) == 8, "loff_t is a 64-bit offset");
static_assert(sizeof(off_t) == 8, "64-bit file offsets");
static_assert(sizeof(void *) != 4 || sizeof(mtd_oob_buf) == 12, "mtd_oob_buf layout");

namespace {

const char mtd_table_path[] = "/proc/mtd";
const char mtd_device_format[] = "/dev/mtd%d";
// A partition's attributes: what its chip's ECC does.
const char mtd_sysfs_format[] = "/sys/class/mtd/mtd%d/%s";
// The major number of the mtdblock devices, which file systems on MTD
// partitions take as their device number.
constexpr unsigned mtd_block_major = 31;

// Lines of the partition table longer than this are not ours to interpret.
constexpr int table_line_size = 256;

// The JFFS2 clean marker: magic 0x1985, node type 0x2003, total length 8,
// little-endian, without its CRC word.
const uint8_t cleanmarker[8] = {0x85, 0x19, 0x03, 0x20, 0x08, 0x00, 0x00, 0x00};
constexpr uint32_t oob_buffer_size = 256;

// Reads one line of at most size - 1 characters into line, without its
// newline. A longer line is consumed whole and marked as too long. False at
// end of file.
bool read_line(FILE *file, char *line, int size, bool *too_long) {
    int n = 0;
    int c = getc(file);
    if (c == EOF)
        return false;
    *too_long = false;
    while (c != EOF && c != '\n') {
        if (n < size - 1)
            line[n++] = static_cast<char>(c);
        else
            *too_long = true;
        c = getc(file);
    }
    line[n] = 0;
    return true;
}

// Interprets one line of the partition table: the device field "mtd<N>:"
// and the name between the first and the last double quote. False for a
// line that does not have that form (the heading among them).
bool parse_table_line(const char *line, int *number, const char **name, size_t *name_len) {
    const char *p = line;
    while (*p == ' ' || *p == '\t')
        p++;
    if (strncmp(p, "mtd", 3) != 0)
        return false;
    p += 3;
    if (*p < '0' || *p > '9')
        return false;
    int value = 0;
    while (*p >= '0' && *p <= '9') {
        int digit = *p - '0';
        if (value > (INT_MAX - digit) / 10)
            return false;
        value = value * 10 + digit;
        p++;
    }
    if (*p != ':')
        return false;
    const char *open_quote = strchr(p, '"');
    if (!open_quote)
        return false;
    const char *close_quote = strrchr(open_quote, '"');
    if (close_quote == open_quote)
        return false;
    *number = value;
    *name = open_quote + 1;
    *name_len = static_cast<size_t>(close_quote - open_quote - 1);
    return true;
}

// Sets errno when it goes out of scope: a failed request's report must not
// change what the caller learns from errno.
struct errno_on_return {
    int value;
    ~errno_on_return() {
        errno = value;
    }
};

uint64_t block_start(const nand_part *part, int block) {
    return static_cast<uint64_t>(static_cast<uint32_t>(block)) * part->info.erasesize;
}

uint64_t page_address(const nand_part *part, int block, int page) {
    return block_start(part, block) +
           static_cast<uint64_t>(static_cast<uint32_t>(page)) * part->page_size;
}

// Fills oob (oob_buffer_size bytes) with 0xFF and the clean marker in the
// free bytes of the layout. False (reported) when the layout cannot take it.
bool cleanmarker_oob(const nand_part *part, uint8_t *oob) {
    uint32_t oobsize = part->info.oobsize;
    memset(oob, 0xff, oob_buffer_size);
    uint32_t remaining = part->ecclayout.oobavail < sizeof cleanmarker ? part->ecclayout.oobavail
                                                                       : sizeof cleanmarker;
    uint32_t placed = 0;
    for (int region = 0; region < 8 && remaining > 0 && oobsize <= oob_buffer_size; region++) {
        const nand_oobfree &free_region = part->ecclayout.oobfree[region];
        uint64_t end = static_cast<uint64_t>(free_region.offset) + free_region.length;
        uint32_t take = free_region.length < remaining ? free_region.length : remaining;
        // Marker bytes beyond the OOB area that is written would be lost.
        if (end > oob_buffer_size || (take > 0 && free_region.offset + take > oobsize))
            break;
        memcpy(oob + free_region.offset, cleanmarker + placed, take);
        placed += take;
        remaining -= take;
    }
    if (remaining == 0 && oobsize <= oob_buffer_size)
        return true;
    error("OOB layout cannot take the clean marker (%u OOB bytes, %u free)", oobsize,
          part->ecclayout.oobavail);
    return false;
}

// Fills in the partition's geometry and OOB layout and, for a flash, selects
// automatic OOB placement. 0, or -1 (reported) for a device the tool cannot
// program.
int read_geometry(nand_part *part) {
    if (ioctl(part->fd, MEMGETINFO, &part->info) < 0) {
        error("MEMGETINFO: %s", strerror(errno));
        return -1;
    }
    if (part->info.type != MTD_NANDFLASH) {
        error("Only NAND devices supported");
        return -1;
    }
    if (ioctl(part->fd, ECCGETLAYOUT, &part->ecclayout) < 0) {
        error("ECCGETLAYOUT: %s", strerror(errno));
        return -1;
    }
    char problem[128];
    if (!geometry_supported(part->info.erasesize, part->info.writesize, problem, sizeof problem)) {
        error("%s", problem);
        return -1;
    }
    part->page_size = geometry_page_size(part->info.erasesize);
    // A partition that is only looked at is asked nothing that sets state.
    if (part->read_only)
        return 0;
    nand_oobinfo oobinfo;
    memset(&oobinfo, 0, sizeof oobinfo);
    oobinfo.useecc = MTD_NANDECC_AUTOPLACE;
    if (ioctl(part->fd, MEMSETOOBSEL, &oobinfo) < 0 && errno != ENOTTY) {
        error("MEMSETOOBSEL: %s", strerror(errno));
        return -1;
    }
    return 0;
}

// Whether a flash could open the partition opened read-only: the device file
// must be writable for this process and the partition not read-only (the
// kernel refuses to open such a partition for writing with EACCES). False
// with the line that the opening for writing prints.
bool opens_for_writing(const nand_part *part) {
    int problem = 0;
    if (access(part->path, W_OK) < 0)
        problem = errno;
    else if (!(part->info.flags & MTD_WRITEABLE))
        problem = EACCES;
    if (problem)
        error("%s: %s", part->path, strerror(problem));
    return problem == 0;
}

// The number in the partition's sysfs attribute; 0 when it has none.
uint32_t sysfs_number(int number, const char *attribute) {
    char path[64];
    snprintf(path, sizeof path, mtd_sysfs_format, number, attribute);
    FILE *file = fopen(path, "r");
    if (!file)
        return 0;
    char text[12];
    size_t length = fread(text, 1, sizeof text, file);
    fclose(file);
    // A decimal number and a newline; anything else tells nothing.
    uint64_t value = 0;
    size_t i = 0;
    for (; i < length && text[i] >= '0' && text[i] <= '9' && value <= UINT32_MAX; i++)
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    return i > 0 && i < length && text[i] == '\n' && value <= UINT32_MAX
               ? static_cast<uint32_t>(value)
               : 0;
}

void read_ecc_attributes(nand_part *part, int number) {
    part->ecc_strength = sysfs_number(number, "ecc_strength");
    part->ecc_step_size = sysfs_number(number, "ecc_step_size");
    part->bitflip_threshold = sysfs_number(number, "bitflip_threshold");
}

// A MEMREAD request for length bytes at address into buf, in the placement
// that read() uses.
mtd_read_req read_request(uint64_t address, const uint8_t *buf, uint32_t length) {
    mtd_read_req request;
    memset(&request, 0, sizeof request);
    request.start = address;
    request.len = length;
    request.usr_data = reinterpret_cast<uintptr_t>(buf);
    request.mode = MTD_OPS_PLACE_OOB;
    return request;
}

// How the read-back will learn what the ECC did, found out without reading
// the flash: a MEMREAD of no bytes reads nothing, ECCGETSTATS only reads
// counters.
nand_ecc_reads probe_ecc_reads(nand_part *part) {
    uint8_t none = 0;
    mtd_read_req request = read_request(0, &none, 0);
    if (ioctl(part->fd, MEMREAD, &request) == 0)
        return nand_ecc_reads::per_read;
    mtd_ecc_stats stats;
    return nand_ecc_stats(part, &stats) == 0 ? nand_ecc_reads::per_block : nand_ecc_reads::none;
}

} // namespace

int mtd_find_partition(const char *name) {
    return mtd_find_partition_in(mtd_table_path, name);
}

namespace {

// The number of the partition of that name in the table at table_path; -1
// when there is none, -2 (errno set) when the table cannot be read.
int lookup_partition(const char *table_path, const char *name) {
    FILE *file = fopen(table_path, "r");
    if (!file)
        return -2;
    size_t wanted_len = strlen(name);
    int found = -1;
    char line[table_line_size];
    bool too_long = false;
    while (found < 0 && read_line(file, line, sizeof line, &too_long)) {
        int number;
        const char *entry;
        size_t entry_len;
        if (too_long || !parse_table_line(line, &number, &entry, &entry_len))
            continue;
        if (entry_len == wanted_len && memcmp(entry, name, wanted_len) == 0)
            found = number;
    }
    bool failed = found < 0 && ferror(file);
    int read_errno = errno;
    fclose(file);
    errno = read_errno;
    return failed ? -2 : found;
}

} // namespace

int mtd_find_partition_in(const char *table_path, const char *name) {
    int found = lookup_partition(table_path, name);
    if (found == -2)
        error("%s: %s", table_path, strerror(errno));
    else if (found < 0)
        error("partition '%s' not found", name);
    return found < 0 ? -1 : found;
}

int mtd_partition_number(const char *name) {
    int found = lookup_partition(mtd_table_path, name);
    return found < 0 ? -1 : found;
}

unsigned long long mtd_filesystem_device(int number) {
    return makedev(mtd_block_major, static_cast<unsigned>(number));
}

int nand_open(const char *name, nand_part **out, int mode) {
    int number = mtd_find_partition(name);
    if (number < 0)
        return -1;
    heap_ptr<nand_part> record;
    nand_part *part = record.get();
    if (!part) {
        error_no_memory(sizeof(nand_part));
        return -1;
    }
    snprintf(part->name, sizeof part->name, "%s", name);
    snprintf(part->path, sizeof part->path, mtd_device_format, number);
    part->read_only = mode == nand_read_only;
    descriptor fd(open(part->path, part->read_only ? O_RDONLY : O_RDWR));
    if (fd.get() < 0) {
        error("%s: %s", part->path, strerror(errno));
        return -1;
    }
    part->fd = fd.get();
    if (read_geometry(part) < 0 || (part->read_only && !opens_for_writing(part)) ||
        nand_count_usable(part) < 0)
        return -1;
    read_ecc_attributes(part, number);
    // A flash finds it out with its first read back.
    if (part->read_only)
        part->ecc_reads = probe_ecc_reads(part);
    fd.release();
    *out = record.release();
    return 0;
}

int nand_block_is_bad(nand_part *part, int block) {
    loff_t offset = static_cast<loff_t>(block_start(part, block));
    int answer = ioctl(part->fd, MEMGETBADBLOCK, &offset);
    if (answer < 0) {
        error("MEMGETBADBLOCK: %s", strerror(errno));
        return -1;
    }
    return answer;
}

int nand_count_good_blocks(nand_part *part) {
    if (part->info.erasesize == 0) {
        error("Unsupported erase block size 0");
        return -1;
    }
    uint32_t blocks = part->info.size / part->info.erasesize;
    int good = 0;
    part->bad_count = 0;
    for (uint32_t block = 0; block < blocks; block++) {
        int answer = nand_block_is_bad(part, static_cast<int>(block));
        if (answer < 0)
            return -1;
        if (answer == 0) {
            good++;
            continue;
        }
        if (part->bad_count < nand_max_listed_bad)
            part->bad_list[part->bad_count] = block;
        part->bad_count++;
    }
    return good;
}

int nand_ecc_stats(nand_part *part, mtd_ecc_stats *stats) {
    memset(stats, 0, sizeof *stats);
    return ioctl(part->fd, ECCGETSTATS, stats) < 0 ? -1 : 0;
}

int nand_read_ecc(nand_part *part, int block, int page, uint8_t *buf, uint32_t length,
                  nand_ecc_figures *ecc) {
    memset(ecc, 0, sizeof *ecc);
    if (part->ecc_reads == nand_ecc_reads::per_block || part->ecc_reads == nand_ecc_reads::none)
        return 0;
    uint64_t address = page_address(part, block, page);
    unsigned long long shown = address;
    mtd_read_req request = read_request(address, buf, length);
    int answer = ioctl(part->fd, MEMREAD, &request);
    if (answer < 0 && errno == ENOTTY && part->ecc_reads == nand_ecc_reads::unknown) {
        mtd_ecc_stats stats;
        part->ecc_reads =
            nand_ecc_stats(part, &stats) == 0 ? nand_ecc_reads::per_block : nand_ecc_reads::none;
        return 0;
    }
    // The kernel answers EBADMSG or EUCLEAN after the whole read, with its figures.
    if ((answer < 0 && errno != EBADMSG && errno != EUCLEAN) || request.len != length) {
        errno_on_return keep{answer < 0 ? errno : 0}; // a short read is not the chip's failure
        error("MEMREAD (%u bytes at %08llx): %s", length, shown, strerror(errno));
        return -1;
    }
    part->ecc_reads = nand_ecc_reads::per_read;
    *ecc = {request.ecc_stats.uncorrectable_errors, request.ecc_stats.corrected_bitflips,
            request.ecc_stats.max_bitflips, true};
    log_printf(4, "nand_read: %u bytes at 0x%08llx, ECC %u failed, %u corrected", length, shown,
               ecc->failed, ecc->corrected);
    return 1;
}

uint32_t nand_ecc_threshold(const nand_part *part) {
    return part->bitflip_threshold ? part->bitflip_threshold : part->ecc_strength;
}

bool nand_ecc_weak(const nand_part *part, const nand_ecc_figures &ecc) {
    uint32_t threshold = nand_ecc_threshold(part);
    uint32_t most = part->ecc_reads == nand_ecc_reads::per_read ? ecc.max_bitflips : ecc.corrected;
    return ecc.known && threshold > 0 && most >= threshold;
}

int nand_count_usable(nand_part *part) {
    int good = nand_count_good_blocks(part);
    if (good < 0)
        return -1;
    part->usable_size = geometry_usable_size(part->info.erasesize, static_cast<uint32_t>(good));
    return 0;
}

int nand_mark_bad(nand_part *part, int block) {
    loff_t offset = static_cast<loff_t>(block_start(part, block));
    if (ioctl(part->fd, MEMSETBADBLOCK, &offset) < 0) {
        error("MEMSETBADBLOCK (block %d): %s", block, strerror(errno));
        return -1;
    }
    return 0;
}

void nand_close(nand_part *part) {
    if (!part)
        return;
    close(part->fd);
    free(part);
}

int nand_read(nand_part *part, int block, int page, uint8_t *buf) {
    uint64_t address = page_address(part, block, page);
    unsigned long long shown = address;
    if (lseek(part->fd, static_cast<off_t>(address), SEEK_SET) < 0) {
        errno_on_return keep{errno};
        error("nand_read: lseek %08llx: %s", shown, strerror(errno));
        return -1;
    }
    ssize_t got = read(part->fd, buf, part->page_size);
    if (got != static_cast<ssize_t>(part->page_size)) {
        errno_on_return keep{got < 0 ? errno : 0}; // a short read is not the chip's failure
        error("nand_read: read (%d bytes at %08llx): %s", static_cast<int>(part->page_size), shown,
              strerror(errno));
        return -1;
    }
    log_printf(4, "nand_read: at 0x%08llx (%02x %02x %02x %02x)", shown, buf[0], buf[1], buf[2],
               buf[3]);
    return 0;
}

int nand_write(nand_part *part, int block, int page, const uint8_t *data) {
    uint64_t address = page_address(part, block, page);
    unsigned long long shown = address;
    log_printf(3, "nand_write: %d bytes to 0x%08llx (%02x %02x %02x %02x)",
               static_cast<int>(part->page_size), shown, data[0], data[1], data[2], data[3]);
    if (lseek(part->fd, static_cast<off_t>(address), SEEK_SET) < 0) {
        errno_on_return keep{errno};
        error("nand_write: lseek %08llx: %s", shown, strerror(errno));
        return -1;
    }
    ssize_t put = write(part->fd, data, part->page_size);
    if (put != static_cast<ssize_t>(part->page_size)) {
        errno_on_return keep{put < 0 ? errno : 0}; // a short write is not the chip's failure
        error("nand_write: write (around 0x%08llx): %s", shown, strerror(errno));
        return -1;
    }
    return 0;
}

int nand_erase(nand_part *part, int block) {
    uint64_t start = block_start(part, block);
    log_printf(3, "nand_erase: block %d at 0x%08llx", block,
               static_cast<unsigned long long>(start));
    if (start > UINT32_MAX) {
        // The request carries a 32-bit start; no partition reaches this far.
        errno_on_return keep{EINVAL};
        error("MEMERASE (block %d): %s", block, strerror(EINVAL));
        return -1;
    }
    erase_info_user erase;
    memset(&erase, 0, sizeof erase);
    erase.start = static_cast<uint32_t>(start);
    erase.length = part->info.erasesize;
    if (ioctl(part->fd, MEMERASE, &erase) < 0) {
        errno_on_return keep{errno};
        error("MEMERASE (block %d): %s", block, strerror(errno));
        return -1;
    }
    return 0;
}

int nand_check_cleanmarker(const nand_part *part) {
    uint8_t oob[oob_buffer_size];
    return cleanmarker_oob(part, oob) ? 0 : -1;
}

int nand_write_cleanmarker(nand_part *part, int block) {
    uint64_t start = block_start(part, block);
    uint8_t oob[oob_buffer_size];
    if (!cleanmarker_oob(part, oob))
        return errno = EINVAL, -1;
    if (start > UINT32_MAX) {
        // The request carries a 32-bit start; no partition reaches this far.
        errno_on_return keep{EINVAL};
        error("MEMWRITEOOB: %s", strerror(EINVAL));
        return -1;
    }

    mtd_oob_buf request;
    memset(&request, 0, sizeof request);
    request.start = static_cast<uint32_t>(start);
    request.length = part->info.oobsize;
    request.ptr = oob;
    int answer = ioctl(part->fd, MEMWRITEOOB, &request);
    if (answer < 0) {
        errno_on_return keep{errno};
        error("MEMWRITEOOB: %s", strerror(errno));
        return -1;
    }
    return answer;
}
