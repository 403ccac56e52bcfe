// Programming one image into one partition: erase, program, read back and
// compare, and for file-system images the JFFS2 clean markers. The image lies
// on the partition's good blocks from the first one on.
#pragma once

#include "events.h"

#include <stdint.h>

struct nand_part;

// Mode of flash_read and flash_image for file-system images: JFFS2 clean markers.
constexpr int flash_mode_jffs2 = 1;
// Mode for raw images.
constexpr int flash_mode_raw = 2;

// At most this many block faults are handled per image (per component and
// run) with mark_bad; the next one ends the flash.
constexpr int flash_max_block_faults = 4;

// How flash_image goes about it.
struct flash_settings {
    // --mark-bad: when a block fails to erase or program, reads back
    // differently or with an uncorrectable ECC error, or reads back with bit
    // flips at the ECC threshold (a weak block), it is tested (erase, write and
    // read back patterns, erase) and marked bad for good when it fails the
    // test too; a block that passes is used again (and a weak read of it is not
    // tested again). Either way the image is flashed again from the start over
    // the good blocks. Failures of anything but a block never mark one.
    bool mark_bad;
    // The phases, the bad blocks they step over, what the ECC did on each
    // block read back and the block faults are events here; null: nobody is
    // told.
    const run_events *events;
    // Room for the smaller of one erase block and the image, for the
    // read-back; null: flash_image allocates it.
    uint8_t *readback;
};

// Erases block_count good blocks from first_block on.
int flash_erase(nand_part *part, uint32_t first_block, uint32_t block_count);
// Programs length bytes from the first good block on; a last short page is
// filled up with 0xFF.
int flash_write(nand_part *part, const uint8_t *data, uint32_t length);
// Reads length bytes from the first good block on with read(), writing the
// clean marker into each good block it enters in mode flash_mode_jffs2.
int flash_read(nand_part *part, uint8_t *buf, uint32_t length, int mode);
// Size check, erase, write, read back, verify (and clean markers in mode 1);
// with mark_bad, again after each block fault handled. Each negative on
// failure, after a report.
int flash_image(nand_part *part, const uint8_t *data, int32_t length, int mode,
                const flash_settings &settings = {});
