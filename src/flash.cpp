#include "flash.h"

#include "log.h"
#include "nand.h"
#include "owners.h"
#include "velkan.h"

#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// The largest page that the page walks transfer.
constexpr uint32_t max_page_size = 2048;
// At most this many differing bytes are reported by the verify.
constexpr int max_verify_reports = 16;
// The boot loader finds the kernel behind a header page that starts with this.
const uint8_t kernel_magic[8] = {'P', 'I', 'R', 'L', '!', 'i', 'm', 'g'};

// The partition of one component: opened, or the stand-alone record of a
// simulated run. Closed when it goes out of scope.
class component_partition {
  public:
    component_partition() {
        memset(&simulated_, 0, sizeof simulated_);
        simulated_.page_size = 2048;
    }
    ~component_partition() {
        if (opened_)
            nand_close(opened_);
    }
    component_partition(const component_partition &) = delete;
    component_partition &operator=(const component_partition &) = delete;
    // 0, or -1 when the partition cannot be opened (reported).
    int acquire(const char *name) {
        if (simulate)
            return 0;
        return nand_open(name, &opened_);
    }
    nand_part *get() {
        return opened_ ? opened_ : &simulated_;
    }

  private:
    nand_part simulated_;
    nand_part *opened_ = nullptr;
};

// The walks need whole pages in each block, at most max_page_size bytes each.
bool check_geometry(const nand_part *part) {
    uint32_t page_size = part->page_size;
    uint32_t erasesize = part->info.erasesize;
    if (page_size == 0 || page_size > max_page_size || erasesize < page_size ||
        erasesize % page_size != 0) {
        error("Unsupported NAND geometry: %u-byte pages in %u-byte blocks", page_size, erasesize);
        return false;
    }
    return true;
}

// True when an image of length bytes fits the partition's good blocks and the
// page walks can place it (reported otherwise).
bool image_fits(const nand_part *part, uint64_t length) {
    if (length > part->usable_size) {
        error("Image too big to fit partition");
        return false;
    }
    return check_geometry(part);
}

// Walks the image's pages over the good blocks from block 0 on. The block and
// the index within it follow the page number as it grows, so that no page
// needs a 64-bit division.
struct page_walk {
    nand_part *part;
    uint32_t pages_per_block;
    uint64_t page;   // absolute page number p
    uint64_t block;  // p / pages_per_block
    uint32_t index;  // p mod pages_per_block
    uint64_t target; // pages to pass, grown by one block for each bad block
    bool mark;       // write the clean marker into each good block entered
};

void walk_start(page_walk *walk, nand_part *part, uint32_t length, bool mark) {
    walk->part = part;
    walk->pages_per_block = part->info.erasesize / part->page_size;
    walk->page = 0;
    walk->block = 0;
    walk->index = 0;
    walk->target = (static_cast<uint64_t>(length) + part->page_size - 1) / part->page_size;
    walk->mark = mark;
}

// Positions the walk on the next page to transfer, stepping over bad blocks.
// 1 with block and index set, 0 when every page is placed, negative on failure.
int walk_next(page_walk *walk, int *block, int *index) {
    while (walk->page < walk->target) {
        uint64_t b = walk->block;
        if (walk->index == 0) {
            int answer = nand_block_is_bad(walk->part, static_cast<int>(b));
            if (answer < 0)
                return answer;
            if (answer > 0) {
                log_printf(1, "Skipping bad block %d", static_cast<int>(b));
                walk->target += walk->pages_per_block;
                uint64_t next = (b + 1) * walk->pages_per_block;
                if (next * walk->part->page_size >= walk->part->info.size) {
                    error("Ran out of good blocks");
                    return -1;
                }
                walk->page = next;
                walk->block = b + 1;
                continue;
            }
            if (walk->mark) {
                int status = nand_write_cleanmarker(walk->part, static_cast<int>(b));
                if (status < 0)
                    return status;
            }
        }
        *block = static_cast<int>(b);
        *index = static_cast<int>(walk->index);
        return 1;
    }
    return 0;
}

// Moves the walk on to the page after the one just transferred.
void walk_advance(page_walk *walk) {
    walk->page++;
    if (++walk->index == walk->pages_per_block) {
        walk->index = 0;
        walk->block++;
    }
}

// Sixteen bytes as one vector: a NEON register on the device.
using words16 __attribute__((vector_size(16))) = uint32_t;

words16 load16(const uint8_t *bytes) {
    words16 words;
    memcpy(&words, bytes, sizeof words);
    return words;
}

// True when the count bytes at a and b are equal. Compares 64 bytes a step;
// the C library's memcmp goes byte by byte on the device, which made up a
// fifth of the instructions executed to flash a large image.
bool same_bytes(const uint8_t *a, const uint8_t *b, uint32_t count) {
    uint32_t i = 0;
    for (; count - i >= 64; i += 64) {
        words16 diff = (load16(a + i) ^ load16(b + i)) | (load16(a + i + 16) ^ load16(b + i + 16)) |
                       (load16(a + i + 32) ^ load16(b + i + 32)) |
                       (load16(a + i + 48) ^ load16(b + i + 48));
        if ((diff[0] | diff[1] | diff[2] | diff[3]) != 0)
            return false;
    }
    for (; i < count; i++) {
        if (a[i] != b[i])
            return false;
    }
    return true;
}

// Reads the next length bytes of the image that the walk is on into buf:
// whole pages straight, a last page shorter than a page through a scratch
// page, so that nothing past length is written. 0, or negative on failure.
int read_pages(page_walk *walk, uint8_t *buf, uint32_t length) {
    uint32_t page_size = walk->part->page_size;
    uint8_t scratch[max_page_size];
    int block, index, status = 0;
    while (length > 0 && (status = walk_next(walk, &block, &index)) > 0) {
        if (length < page_size) {
            status = nand_read(walk->part, block, index, scratch);
            if (status < 0)
                return status;
            memcpy(buf, scratch, length);
            walk_advance(walk);
            return 0;
        }
        status = nand_read(walk->part, block, index, buf);
        if (status < 0)
            return status;
        buf += page_size;
        length -= page_size;
        walk_advance(walk);
    }
    return status < 0 ? status : 0;
}

// One byte that was read back differently from the image.
struct verify_error {
    uint32_t offset;
    uint8_t got;
    uint8_t want;
};

// Reads the image back one erase block at a time into block (room for the
// smaller of one erase block and the image) and compares each block with the
// image as it arrives. The lowest differing bytes are kept and reported only
// once the whole read-back has succeeded; a failed read-back reports its own
// error and no verify lines. 0 when the image verified, -1 when it differs,
// or the failure of the read-back.
int read_back_and_verify(nand_part *part, const uint8_t *data, uint32_t size, int mode,
                         uint8_t *block) {
    log_printf(3, "%d bytes to read", static_cast<int>(size));
    uint32_t erasesize = part->info.erasesize;
    page_walk walk;
    walk_start(&walk, part, size, mode == flash_mode_jffs2);
    verify_error errors[max_verify_reports];
    int found = 0;
    for (uint32_t offset = 0; offset < size;) {
        uint32_t span = size - offset < erasesize ? size - offset : erasesize;
        int status = read_pages(&walk, block, span);
        if (status < 0)
            return status;
        const uint8_t *want = data + offset;
        if (found < max_verify_reports && !same_bytes(block, want, span)) {
            for (uint32_t i = 0; i < span && found < max_verify_reports; i++) {
                if (block[i] != want[i])
                    errors[found++] = {offset + i, block[i], want[i]};
            }
        }
        offset += span;
    }
    for (int i = 0; i < found; i++)
        error("Verify error at 0x%08x: 0x%02x instead of 0x%02x", errors[i].offset, errors[i].got,
              errors[i].want);
    return found > 0 ? -1 : 0;
}

void put_le32(uint8_t *bytes, uint32_t value) {
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
    bytes[2] = static_cast<uint8_t>(value >> 16);
    bytes[3] = static_cast<uint8_t>(value >> 24);
}

} // namespace

int flash_erase(nand_part *part, uint32_t first_block, uint32_t block_count) {
    log_printf(2, "Erase %u blocks", block_count);
    if (!check_geometry(part))
        return -1;
    uint64_t end = static_cast<uint64_t>(first_block) + block_count;
    for (uint64_t b = first_block; b < end;) {
        int answer = nand_block_is_bad(part, static_cast<int>(b));
        if (answer < 0)
            return -1;
        if (answer > 0) {
            b++;
            end++;
            if (end * part->info.erasesize > part->info.size) {
                error("Ran out of good blocks to erase");
                return -1;
            }
            continue;
        }
        if (nand_erase(part, static_cast<int>(b)) < 0)
            return -1;
        b++;
    }
    return 0;
}

int flash_write(nand_part *part, const uint8_t *data, uint32_t length) {
    log_printf(2, "Program %u bytes", length);
    if (!check_geometry(part))
        return -1;
    uint8_t scratch[max_page_size];
    page_walk walk;
    walk_start(&walk, part, length, false);
    uint32_t remaining = length;
    int block, index, status;
    while ((status = walk_next(&walk, &block, &index)) > 0) {
        if (remaining < part->page_size) {
            memcpy(scratch, data, remaining);
            memset(scratch + remaining, 0xff, part->page_size - remaining);
            status = nand_write(part, block, index, scratch);
            if (status < 0)
                return status;
            break;
        }
        status = nand_write(part, block, index, data);
        if (status < 0)
            return status;
        data += part->page_size;
        remaining -= part->page_size;
        walk_advance(&walk);
    }
    return status < 0 ? status : 0;
}

int flash_read(nand_part *part, uint8_t *buf, uint32_t length, int mode) {
    log_printf(3, "%d bytes to read", static_cast<int>(length));
    if (!check_geometry(part))
        return -1;
    page_walk walk;
    walk_start(&walk, part, length, mode == flash_mode_jffs2);
    return read_pages(&walk, buf, length);
}

int flash_image(nand_part *part, const uint8_t *data, int32_t length, int mode) {
    if (!image_fits(part, static_cast<uint64_t>(static_cast<int64_t>(length))))
        return -1;
    uint32_t erasesize = part->info.erasesize;
    uint32_t size = static_cast<uint32_t>(length);

    if (flash_erase(part, 0, static_cast<uint32_t>(part->usable_size / erasesize)) < 0)
        return -1;
    int status = flash_write(part, data, size);
    if (status < 0)
        return status;

    int result;
    {
        // The read-back holds at most one erase block at a time.
        uint32_t length = size < erasesize ? size : erasesize;
        byte_buffer block(length);
        if (!block.get()) {
            error_no_memory(length);
            return -1;
        }
        result = read_back_and_verify(part, data, size, mode, block.get());
    }
    if (mode != flash_mode_jffs2)
        return result;

    // Clean markers for the blocks behind the image.
    uint32_t blocks = part->info.size / erasesize;
    uint64_t first = (static_cast<uint64_t>(size) + erasesize - 1) / erasesize;
    int pass = 0;
    for (uint64_t b = first; b < blocks; b++) {
        int answer = nand_block_is_bad(part, static_cast<int>(b));
        if (answer < 0)
            return answer;
        if (answer > 0) {
            log_printf(1, "Skipping bad block %d", static_cast<int>(b));
            continue;
        }
        pass = nand_write_cleanmarker(part, static_cast<int>(b));
        if (pass < 0)
            return pass;
    }
    return result < 0 ? result : pass;
}

void flash_kernel_header(subimage *img, nand_part *part, uint8_t *header) {
    memset(header, 0, part->page_size);
    memcpy(header, kernel_magic, sizeof kernel_magic);
    put_le32(header + 8, 2);
    put_le32(header + 16, img->size);
}

namespace {

// One component: its name (that of its partition too), whether a kernel boot
// header page precedes it and the mode it is flashed in.
struct component {
    const char *name;
    bool with_header;
    int mode;
};

const component kernel_component = {"kernel", true, flash_mode_raw};
const component initfs_component = {"initfs", false, flash_mode_jffs2};

// Partitions flashed completely so far, for the line of a stopped run.
char completed[32] = "";

// The signals that ask the run to stop.
const int stop_signals[] = {SIGINT, SIGTERM, SIGQUIT};

// Holds SIGINT, SIGTERM and SIGQUIT while one partition is flashed; once it is
// done, a signal that came in ends the run, after a line that says how far it
// got. Signals that the tool was started with ignored stay ignored.
class held_signals {
  public:
    held_signals() {
        sigemptyset(&set_);
        for (int sig : stop_signals) {
            struct sigaction action;
            if (sigaction(sig, nullptr, &action) == 0 && action.sa_handler != SIG_IGN)
                sigaddset(&set_, sig);
        }
        sigprocmask(SIG_BLOCK, &set_, &saved_);
    }
    ~held_signals() {
        sigset_t pending;
        sigpending(&pending);
        for (int sig : stop_signals) {
            if (sigismember(&set_, sig) && sigismember(&pending, sig)) {
                error("Stopped by signal %d (%s); partitions completed: %s", sig, strsignal(sig),
                      completed[0] ? completed : "none");
                fflush(stdout);
                break;
            }
        }
        // A pending signal takes its default course here and ends the process.
        sigprocmask(SIG_SETMASK, &saved_, nullptr);
    }
    held_signals(const held_signals &) = delete;
    held_signals &operator=(const held_signals &) = delete;

  private:
    sigset_t set_, saved_;
};

// Picks the component's image and gets its partition: outside simulation it is
// opened and checked to take the image, which is length bytes with the header
// page, and for the clean markers its OOB layout. 0, or -1 (reported).
int component_prepare(image_set *set, hw_ident *ident, const component &c,
                      component_partition *partition, subimage **img, uint32_t *length) {
    *img = image_find_component(set, ident, c.name);
    if (!*img) {
        fprintf(stderr, "No suitable %s image found.\n", c.name);
        return -1;
    }
    if (partition->acquire(c.name) < 0)
        return -1;
    nand_part *part = partition->get();
    uint64_t total = static_cast<uint64_t>(c.with_header ? part->page_size : 0) + (*img)->size;
    if (total > INT32_MAX) {
        error("Image too big to fit partition");
        return -1;
    }
    if (!simulate && (!image_fits(part, total) ||
                      (c.mode == flash_mode_jffs2 && nand_check_cleanmarker(part) < 0)))
        return -1;
    *length = static_cast<uint32_t>(total);
    return 0;
}

// Reads the component into one buffer, behind a kernel boot header page when
// it has one, and flashes it into its partition. A simulated run reads and
// checks all the same, but opens and writes nothing.
int flash_component(image_set *set, hw_ident *ident, const component &c) {
    component_partition partition;
    subimage *img;
    uint32_t length;
    if (component_prepare(set, ident, c, &partition, &img, &length) < 0)
        return -1;
    nand_part *part = partition.get();
    uint32_t header_size = length - img->size;
    byte_buffer buffer(length);
    if (!buffer.get()) {
        error_no_memory(length);
        return -1;
    }
    if (c.with_header)
        flash_kernel_header(img, part, buffer.get());

    log_printf(1, "Reading %s image", c.name);
    if (velkan_read_bytes(img, 0, buffer.get() + header_size, img->size) < 0)
        return -1;
    if (simulate)
        return 0;
    log_printf(1, "Flashing %s image", c.name);
    held_signals hold;
    if (flash_image(part, buffer.get(), static_cast<int32_t>(length), c.mode) < 0)
        return -1;
    size_t used = strlen(completed);
    snprintf(completed + used, sizeof completed - used, "%s%s", used ? ", " : "", c.name);
    return 0;
}

// Picks the component and checks its partition, which is closed again.
int check_component(image_set *set, hw_ident *ident, const component &c) {
    component_partition partition;
    subimage *img;
    uint32_t length;
    return component_prepare(set, ident, c, &partition, &img, &length);
}

} // namespace

int flash_check(image_set *set, hw_ident *ident, bool kernel, bool initfs) {
    if (kernel && check_component(set, ident, kernel_component) < 0)
        return -1;
    if (initfs && check_component(set, ident, initfs_component) < 0)
        return -1;
    return 0;
}

int flash_kernel(image_set *set, hw_ident *ident) {
    return flash_component(set, ident, kernel_component);
}

int flash_initfs(image_set *set, hw_ident *ident) {
    return flash_component(set, ident, initfs_component);
}
