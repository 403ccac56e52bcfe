#include "flash_image.h"

#include "geometry.h"
#include "good_blocks.h"
#include "log.h"
#include "nand.h"
#include "owners.h"
#include "progress.h"

#include <stdint.h>
#include <string.h>

namespace {

// At most this many differing bytes are reported by the verify.
constexpr int max_verify_reports = 16;

// The page walks need whole pages in each block, at most a stack page each.
bool check_geometry(const nand_part *part) {
    if (!geometry_whole_pages(part->info.erasesize, part->page_size)) {
        error("Unsupported NAND geometry: %u-byte pages in %u-byte blocks", part->page_size,
              part->info.erasesize);
        return false;
    }
    return true;
}

// Programs the first length bytes of one block (at most one block) page by
// page; a last short page goes through a scratch page filled up with 0xFF.
int program_block(nand_part *part, uint32_t block, const uint8_t *data, uint32_t length) {
    uint32_t page_size = part->page_size;
    int b = static_cast<int>(block);
    int page = 0;
    for (; length >= page_size; length -= page_size, data += page_size) {
        if (nand_write(part, b, page++, data) < 0)
            return -1;
    }
    if (length == 0)
        return 0;
    uint8_t scratch[geometry_max_page_size];
    memcpy(scratch, data, length);
    memset(scratch + length, 0xff, page_size - length);
    return nand_write(part, b, page, scratch);
}

// Reads the first length bytes of one block (at most one block) into buf; a
// last short page goes through a scratch page, so nothing past length is
// written.
int read_block(nand_part *part, uint32_t block, uint8_t *buf, uint32_t length) {
    uint32_t page_size = part->page_size;
    int b = static_cast<int>(block);
    int page = 0;
    for (; length >= page_size; length -= page_size, buf += page_size) {
        if (nand_read(part, b, page++, buf) < 0)
            return -1;
    }
    if (length == 0)
        return 0;
    uint8_t scratch[geometry_max_page_size];
    if (nand_read(part, b, page, scratch) < 0)
        return -1;
    memcpy(buf, scratch, length);
    return 0;
}

// The next good block of the image's walk, or -1 (reported).
int next_image_block(good_blocks *walk, uint32_t *block) {
    int found = good_blocks_next(walk, block);
    if (found == 0)
        error("Ran out of good blocks");
    return found > 0 ? 0 : -1;
}

// Reads the image's next block into buf and, in mode jffs2, marks it first.
int read_image_block(good_blocks *walk, uint8_t *buf, uint32_t length, int mode) {
    uint32_t block;
    if (next_image_block(walk, &block) < 0)
        return -1;
    if (mode == flash_mode_jffs2 && nand_write_cleanmarker(walk->part, static_cast<int>(block)) < 0)
        return -1;
    return read_block(walk->part, block, buf, length);
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

// The lowest bytes that were read back differently from the image.
struct verify_errors {
    struct {
        uint32_t offset;
        uint8_t got;
        uint8_t want;
    } found[max_verify_reports];
    int count;
};

// Notes the bytes of one block read back that differ from the image at offset.
void compare_block(verify_errors *errors, const uint8_t *got, const uint8_t *want, uint32_t offset,
                   uint32_t length) {
    if (errors->count == max_verify_reports || same_bytes(got, want, length))
        return;
    for (uint32_t i = 0; i < length && errors->count < max_verify_reports; i++) {
        if (got[i] != want[i])
            errors->found[errors->count++] = {offset + i, got[i], want[i]};
    }
}

// Reads the image back one erase block at a time into block (room for the
// smaller of one erase block and the image) and compares each block with the
// image as it arrives; in mode jffs2 each block is marked before it is read.
// The differences are reported only once the whole read-back has succeeded: a
// failed read-back reports its own error and no verify lines. 0 when the image
// verified, 1 when it differs (reported), -1 when the read-back failed; the
// walk ends behind the image's last block.
int read_back_and_verify(good_blocks *walk, const uint8_t *data, uint32_t size, int mode,
                         uint8_t *block) {
    log_printf(3, "%d bytes to read", static_cast<int>(size));
    uint32_t erasesize = walk->part->info.erasesize;
    verify_errors errors;
    errors.count = 0;
    for (uint32_t offset = 0; offset < size;) {
        uint32_t span = size - offset < erasesize ? size - offset : erasesize;
        if (read_image_block(walk, block, span, mode) < 0)
            return -1;
        compare_block(&errors, block, data + offset, offset, span);
        offset += span;
        flash_phase_step(span);
    }
    for (int i = 0; i < errors.count; i++)
        error("Verify error at 0x%08x: 0x%02x instead of 0x%02x", errors.found[i].offset,
              errors.found[i].got, errors.found[i].want);
    return errors.count > 0 ? 1 : 0;
}

// The clean marker into every good block the walk has left.
int mark_remaining(good_blocks *walk) {
    uint32_t block;
    int found;
    while ((found = good_blocks_next(walk, &block)) > 0) {
        if (nand_write_cleanmarker(walk->part, static_cast<int>(block)) < 0)
            return -1;
    }
    return found;
}

} // namespace

int flash_erase(nand_part *part, uint32_t first_block, uint32_t block_count) {
    log_printf(2, "Erase %u blocks", block_count);
    if (!check_geometry(part))
        return -1;
    flash_phase phase(part, phase_erase, uint64_t(block_count) * part->info.erasesize);
    good_blocks walk;
    good_blocks_start(&walk, part, first_block, false);
    for (uint32_t erased = 0; erased < block_count; erased++) {
        uint32_t block;
        int found = good_blocks_next(&walk, &block);
        if (found == 0)
            error("Ran out of good blocks to erase");
        if (found <= 0 || nand_erase(part, static_cast<int>(block)) < 0)
            return -1;
        flash_phase_step(part->info.erasesize);
    }
    phase.succeeded();
    return 0;
}

int flash_write(nand_part *part, const uint8_t *data, uint32_t length) {
    log_printf(2, "Program %u bytes", length);
    if (!check_geometry(part))
        return -1;
    flash_phase phase(part, phase_write, length);
    good_blocks walk;
    good_blocks_start(&walk, part, 0, true);
    uint32_t erasesize = part->info.erasesize;
    for (uint32_t offset = 0; offset < length;) {
        uint32_t span = length - offset < erasesize ? length - offset : erasesize;
        uint32_t block;
        if (next_image_block(&walk, &block) < 0 ||
            program_block(part, block, data + offset, span) < 0)
            return -1;
        offset += span;
        flash_phase_step(span);
    }
    phase.succeeded();
    return 0;
}

int flash_read(nand_part *part, uint8_t *buf, uint32_t length, int mode) {
    log_printf(3, "%d bytes to read", static_cast<int>(length));
    if (!check_geometry(part))
        return -1;
    good_blocks walk;
    good_blocks_start(&walk, part, 0, true);
    uint32_t erasesize = part->info.erasesize;
    for (uint32_t offset = 0; offset < length;) {
        uint32_t span = length - offset < erasesize ? length - offset : erasesize;
        if (read_image_block(&walk, buf + offset, span, mode) < 0)
            return -1;
        offset += span;
    }
    return 0;
}

int flash_image(nand_part *part, const uint8_t *data, int32_t length, int mode) {
    if (!geometry_fits(static_cast<uint64_t>(static_cast<int64_t>(length)), part->usable_size)) {
        error("Image too big to fit partition");
        return -1;
    }
    if (!check_geometry(part))
        return -1;
    uint32_t erasesize = part->info.erasesize;
    uint32_t size = static_cast<uint32_t>(length);
    // The read-back holds at most one erase block at a time.
    uint32_t span = size < erasesize ? size : erasesize;
    byte_buffer block(span);
    if (!block.get()) {
        error_no_memory(span);
        return -1;
    }
    if (flash_erase(part, 0, static_cast<uint32_t>(part->usable_size / erasesize)) < 0 ||
        flash_write(part, data, size) < 0)
        return -1;
    good_blocks walk;
    good_blocks_start(&walk, part, 0, true);
    flash_phase phase(part, phase_read_back, size);
    int differs = read_back_and_verify(&walk, data, size, mode, block.get());
    if (differs < 0)
        return -1;
    // Clean markers for the blocks behind the image, whatever the verify found.
    if (mode == flash_mode_jffs2 && mark_remaining(&walk) < 0)
        return -1;
    if (!differs)
        phase.succeeded();
    return differs ? -1 : 0;
}
