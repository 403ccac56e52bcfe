#include "flash_image.h"

#include "geometry.h"
#include "good_blocks.h"
#include "log.h"
#include "nand.h"
#include "owners.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>

namespace {

// At most this many differing bytes are reported by the verify.
constexpr int max_verify_reports = 16;

// The operations that can fail on one block, as the reports name them.
enum class block_op { none, erase, program, read, verify };
const char *const block_op_names[] = {"", "erase", "program", "read", "read-back"};

// Where a flash failed: the operation, its block and errno; for a verify 0
// when the bytes differ, EBADMSG for an uncorrectable ECC error, EUCLEAN for
// bit flips at the ECC threshold.
struct block_fault {
    block_op op;
    uint32_t block;
    int err;
};

// Notes that op failed on block, with errno as the failed call left it; -1.
int note_fault(block_fault *fault, block_op op, uint32_t block) {
    *fault = {op, block, op == block_op::verify ? 0 : errno};
    return -1;
}

// True when the block itself failed: the chip reported the operation failed,
// or the block read back differently. Anything else is no block's fault.
bool is_block_fault(const block_fault &fault) {
    return fault.op == block_op::verify || (fault.op != block_op::none && fault.err == EIO);
}

const char *op_name(const block_fault &fault) {
    return block_op_names[static_cast<int>(fault.op)];
}

const char *fault_text(const block_fault &fault) {
    if (fault.op != block_op::verify)
        return strerror(fault.err);
    return fault.err == EBADMSG   ? "uncorrectable ECC error"
           : fault.err == EUCLEAN ? "bit flips at the ECC threshold"
                                  : "differs from the image";
}

// Notes a verify fault of block with its reason (see block_fault); -1.
int note_verify_fault(block_fault *fault, uint32_t block, int err) {
    *fault = {block_op::verify, block, err};
    return -1;
}

// Blocks that passed their test during this flash: bit flips at the threshold
// in one of them are not tested again.
struct tested_blocks {
    uint32_t list[flash_max_block_faults];
    int count;
};

bool was_tested(const tested_blocks &tested, uint32_t block) {
    for (int i = 0; i < tested.count; i++) {
        if (tested.list[i] == block)
            return true;
    }
    return false;
}

// The page walks need whole pages in each block, at most a stack page each.
bool check_geometry(const nand_part *part) {
    if (!geometry_whole_pages(part->info.erasesize, part->page_size)) {
        error("Unsupported NAND geometry: %u-byte pages in %u-byte blocks", part->page_size,
              part->info.erasesize);
        return false;
    }
    return true;
}

// One phase of a partition's flash, for as long as it lives: its start, each
// block done and its end are events. It ends as a failure unless succeeded()
// was called. The end carries the totals of the ECC figures handed to ecc(),
// where every block's were known.
class phase_events {
  public:
    phase_events(const run_events *events, nand_part *part, flash_phase_kind phase, uint64_t bytes)
        : events_(events), part_(part), phase_(phase) {
        if (!events_)
            return;
        uint32_t erasesize = part->info.erasesize;
        event e = start_of(event_kind::phase_start);
        e.blocks = static_cast<uint32_t>(erasesize ? (bytes + erasesize - 1) / erasesize : 0);
        e.bytes = bytes;
        events_emit(events_, e);
    }
    ~phase_events() {
        if (!events_)
            return;
        event e = start_of(event_kind::phase_end);
        e.ok = ok_;
        e.blocks = blocks_;
        e.bytes = bytes_;
        e.ecc_known = ecc_seen_ && !ecc_missing_;
        e.ecc_corrected = ecc_.corrected;
        e.ecc_failed = ecc_.failed;
        events_emit(events_, e);
    }
    phase_events(const phase_events &) = delete;
    phase_events &operator=(const phase_events &) = delete;
    // One more block done, with bytes of it.
    void step(uint32_t bytes) {
        blocks_++;
        bytes_ += bytes;
        if (!events_)
            return;
        event e = start_of(event_kind::phase_step);
        e.bytes = bytes;
        events_emit(events_, e);
    }
    void succeeded() {
        ok_ = true;
    }
    // What the ECC did on one block; an event of its own where it did anything.
    void ecc(uint32_t block, const nand_ecc_figures &figures, bool weak) {
        ecc_seen_ = true;
        ecc_missing_ = ecc_missing_ || !figures.known;
        ecc_.corrected += figures.corrected;
        ecc_.failed += figures.failed;
        if (!events_ || (figures.corrected == 0 && figures.failed == 0))
            return;
        event e = start_of(event_kind::block_ecc);
        e.block = block;
        e.ecc_corrected = figures.corrected;
        e.ecc_failed = figures.failed;
        e.ecc_max = figures.max_bitflips;
        e.ecc_known = part_->ecc_reads == nand_ecc_reads::per_read;
        e.weak = weak;
        events_emit(events_, e);
    }

  private:
    event start_of(event_kind kind) const {
        event e = event_of(kind);
        e.part = part_;
        e.component = part_->name;
        e.phase = phase_;
        return e;
    }
    const run_events *events_;
    nand_part *part_;
    flash_phase_kind phase_;
    bool ok_ = false;
    bool ecc_seen_ = false, ecc_missing_ = false;
    nand_ecc_figures ecc_ = {};
    uint32_t blocks_ = 0;
    uint64_t bytes_ = 0;
};

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

// Reads length bytes from (block, page) on, within the block, into buf with
// read(); a last short page goes through a scratch page, so nothing past
// length is written.
int plain_reads(nand_part *part, int b, int page, uint8_t *buf, uint32_t length) {
    uint32_t page_size = part->page_size;
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

// The same with what the ECC did into *ecc: in one MEMREAD request where the
// kernel has it, else with the partition's ECC counters before and after.
int read_pages(nand_part *part, uint32_t block, int page, uint8_t *buf, uint32_t length,
               nand_ecc_figures *ecc) {
    int b = static_cast<int>(block);
    int got = nand_read_ecc(part, b, page, buf, length, ecc);
    if (got != 0)
        return got < 0 ? -1 : 0;
    mtd_ecc_stats before, after;
    bool counted =
        part->ecc_reads == nand_ecc_reads::per_block && nand_ecc_stats(part, &before) == 0;
    if (plain_reads(part, b, page, buf, length) < 0)
        return -1;
    if (counted && nand_ecc_stats(part, &after) == 0)
        *ecc = {after.failed - before.failed, after.corrected - before.corrected, 0, true};
    return 0;
}

// The next good block of the image's walk, or -1 (reported).
int next_image_block(good_blocks *walk, uint32_t *block) {
    int found = good_blocks_next(walk, block);
    if (found == 0)
        error("Ran out of good blocks");
    return found > 0 ? 0 : -1;
}

// Reads the image's next block (into *block) into buf and, in mode jffs2,
// marks it first; with ecc, what the ECC did goes there.
int read_image_block(good_blocks *walk, uint8_t *buf, uint32_t length, int mode, uint32_t *block,
                     block_fault *fault, nand_ecc_figures *ecc) {
    if (next_image_block(walk, block) < 0)
        return -1;
    if (mode == flash_mode_jffs2 &&
        nand_write_cleanmarker(walk->part, static_cast<int>(*block)) < 0)
        return note_fault(fault, block_op::program, *block);
    int b = static_cast<int>(*block);
    if ((ecc ? read_pages(walk->part, *block, 0, buf, length, ecc)
             : plain_reads(walk->part, b, 0, buf, length)) < 0)
        return note_fault(fault, block_op::read, *block);
    return 0;
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

// The lowest bytes that were read back differently from the image and the
// blocks whose read met an uncorrectable ECC error (ecc), in the order of the
// image; the block of the first and its fault's reason (see block_fault).
struct verify_errors {
    struct {
        uint32_t offset;
        uint8_t got;
        uint8_t want;
        bool ecc;
        uint32_t block;
    } found[max_verify_reports];
    int count;
    uint32_t first_block;
    int first_err;
};

// Notes an uncorrectable read of one block and the bytes of it read back that
// differ from the image at offset.
void compare_block(verify_errors *errors, uint32_t block, const uint8_t *got, const uint8_t *want,
                   uint32_t offset, uint32_t length, bool uncorrectable) {
    if (errors->count == max_verify_reports)
        return;
    bool same = same_bytes(got, want, length);
    if (same && !uncorrectable)
        return;
    if (errors->count == 0)
        errors->first_block = block, errors->first_err = uncorrectable ? EBADMSG : 0;
    if (uncorrectable)
        errors->found[errors->count++] = {offset, 0, 0, true, block};
    for (uint32_t i = 0; !same && i < length && errors->count < max_verify_reports; i++) {
        if (got[i] != want[i])
            errors->found[errors->count++] = {offset + i, got[i], want[i], false, block};
    }
}

// What the ECC did on one block of the read-back goes to the phase; a weak
// block is a warning at -v. True when the block is weak.
bool note_block_ecc(nand_part *part, phase_events *phase, uint32_t block,
                    const nand_ecc_figures &ecc) {
    bool weak = nand_ecc_weak(part, ecc);
    if (weak)
        log_printf(1, "Warning: %s: block %u is weak: %u bit flips corrected (threshold %u)",
                   part->name, block, ecc.corrected, nand_ecc_threshold(part));
    phase->ecc(block, ecc, weak);
    return weak;
}

void report_verify_errors(const verify_errors &errors) {
    for (int i = 0; i < errors.count; i++) {
        const auto &found = errors.found[i];
        if (found.ecc)
            error("Verify error at 0x%08x: uncorrectable ECC error in block %u", found.offset,
                  found.block);
        else
            error("Verify error at 0x%08x: 0x%02x instead of 0x%02x", found.offset, found.got,
                  found.want);
    }
}

// Reads the image back one erase block at a time into block (room for the
// smaller of one erase block and the image) and compares each block with the
// image as it arrives; in mode jffs2 each block is marked before it is read.
// A block whose read met an uncorrectable ECC error fails the verify, whatever
// its bytes. The differences are reported only once the whole read-back has
// succeeded: a failed read-back reports its own error and no verify lines. 0
// when the image verified, 1 when it differs (reported), -1 when the read-back
// failed; the walk ends behind the image's last block. The first weak block
// that is not in tested goes into *weak (-1: none).
int read_back_and_verify(good_blocks *walk, const uint8_t *data, uint32_t size, int mode,
                         uint8_t *buf, phase_events *phase, block_fault *fault,
                         const tested_blocks &tested, int64_t *weak) {
    log_printf(3, "%d bytes to read", static_cast<int>(size));
    uint32_t erasesize = walk->part->info.erasesize;
    verify_errors errors;
    errors.count = 0;
    errors.first_block = 0;
    errors.first_err = 0;
    *weak = -1;
    for (uint32_t offset = 0; offset < size;) {
        uint32_t span = size - offset < erasesize ? size - offset : erasesize;
        uint32_t block;
        nand_ecc_figures ecc;
        if (read_image_block(walk, buf, span, mode, &block, fault, &ecc) < 0)
            return -1;
        if (note_block_ecc(walk->part, phase, block, ecc) && *weak < 0 &&
            !was_tested(tested, block))
            *weak = block;
        compare_block(&errors, block, buf, data + offset, offset, span, ecc.failed > 0);
        offset += span;
        phase->step(span);
    }
    report_verify_errors(errors);
    if (errors.count > 0)
        note_verify_fault(fault, errors.first_block, errors.first_err);
    return errors.count > 0 ? 1 : 0;
}

// The clean marker into every good block the walk has left.
int mark_remaining(good_blocks *walk, block_fault *fault) {
    uint32_t block;
    int found;
    while ((found = good_blocks_next(walk, &block)) > 0) {
        if (nand_write_cleanmarker(walk->part, static_cast<int>(block)) < 0)
            return note_fault(fault, block_op::program, block);
    }
    return found;
}

// Erases block_count good blocks from first_block on.
int erase_blocks(nand_part *part, uint32_t first_block, uint32_t block_count,
                 const run_events *events, block_fault *fault) {
    phase_events phase(events, part, flash_phase_kind::erase,
                       uint64_t(block_count) * part->info.erasesize);
    good_blocks walk;
    good_blocks_start_phase(&walk, part, first_block, false, events, flash_phase_kind::erase);
    for (uint32_t erased = 0; erased < block_count; erased++) {
        uint32_t block;
        int found = good_blocks_next(&walk, &block);
        if (found == 0)
            error("Ran out of good blocks to erase");
        if (found <= 0)
            return -1;
        if (nand_erase(part, static_cast<int>(block)) < 0)
            return note_fault(fault, block_op::erase, block);
        phase.step(part->info.erasesize);
    }
    phase.succeeded();
    return 0;
}

// Programs length bytes from the first good block on.
int write_image(nand_part *part, const uint8_t *data, uint32_t length, const run_events *events,
                block_fault *fault) {
    phase_events phase(events, part, flash_phase_kind::write, length);
    good_blocks walk;
    good_blocks_start_phase(&walk, part, 0, true, events, flash_phase_kind::write);
    uint32_t erasesize = part->info.erasesize;
    for (uint32_t offset = 0; offset < length;) {
        uint32_t span = length - offset < erasesize ? length - offset : erasesize;
        uint32_t block;
        if (next_image_block(&walk, &block) < 0)
            return -1;
        if (program_block(part, block, data + offset, span) < 0)
            return note_fault(fault, block_op::program, block);
        offset += span;
        phase.step(span);
    }
    phase.succeeded();
    return 0;
}

// One pass of the flash: erase every good block, program the image, read it
// back and verify it and, in mode jffs2, mark the good blocks behind it.
// buf holds the smaller of one erase block and the image. 0, or -1 (reported)
// with the failing block's operation in *fault when a block failed.
// With mark_bad, a weak block that has not passed its test during this
// flash is a block fault too, once the image verified.
int flash_pass(nand_part *part, const uint8_t *data, uint32_t size, int mode,
               const flash_settings &settings, uint8_t *buf, block_fault *fault,
               const tested_blocks &tested) {
    const run_events *events = settings.events;
    uint32_t blocks = static_cast<uint32_t>(part->usable_size / part->info.erasesize);
    log_printf(2, "Erase %u blocks", blocks);
    if (erase_blocks(part, 0, blocks, events, fault) < 0)
        return -1;
    log_printf(2, "Program %u bytes", size);
    if (write_image(part, data, size, events, fault) < 0)
        return -1;
    good_blocks walk;
    good_blocks_start_phase(&walk, part, 0, true, events, flash_phase_kind::read_back);
    phase_events phase(events, part, flash_phase_kind::read_back, size);
    int64_t weak;
    int differs = read_back_and_verify(&walk, data, size, mode, buf, &phase, fault, tested, &weak);
    if (differs < 0)
        return -1;
    // Clean markers for the blocks behind the image, whatever the verify found.
    if (mode == flash_mode_jffs2 && mark_remaining(&walk, fault) < 0)
        return -1;
    if (!differs)
        phase.succeeded();
    if (!differs && weak >= 0 && settings.mark_bad)
        return note_verify_fault(fault, static_cast<uint32_t>(weak), EUCLEAN);
    return differs ? -1 : 0;
}

// Test patterns a block must take before it is used again: each programmed
// over the whole block and read back.
const uint8_t test_patterns[] = {0xa5, 0x5a, 0x00};

// 1 when a failed call was the block's failure (the chip said so), else -1.
int blame_block() {
    return errno == EIO ? 1 : -1;
}

// Programs pattern into every page of the erased block and reads it back. 0
// when the block took it, 1 when the block failed (an uncorrectable read or
// bit flips at the ECC threshold count as failures), -1 on any other failure.
int test_pattern(nand_part *part, int block, uint8_t pattern) {
    uint8_t want[geometry_max_page_size];
    uint8_t got[geometry_max_page_size];
    memset(want, pattern, part->page_size);
    int pages = static_cast<int>(part->info.erasesize / part->page_size);
    for (int page = 0; page < pages; page++) {
        if (nand_write(part, block, page, want) < 0)
            return blame_block();
    }
    for (int page = 0; page < pages; page++) {
        nand_ecc_figures ecc;
        if (read_pages(part, static_cast<uint32_t>(block), page, got, part->page_size, &ecc) < 0)
            return blame_block();
        if (!same_bytes(got, want, part->page_size) || ecc.failed > 0 || nand_ecc_weak(part, ecc))
            return 1;
    }
    return 0;
}

// Tests a block that failed, as a careful flash layer does before it retires
// one: erase it, program and read back each pattern, erase it again. 0 when
// it passed, 1 when it failed, -1 on any other failure.
int test_block(nand_part *part, uint32_t block) {
    int b = static_cast<int>(block);
    for (uint8_t pattern : test_patterns) {
        if (nand_erase(part, b) < 0)
            return blame_block();
        int failed = test_pattern(part, b, pattern);
        if (failed != 0)
            return failed;
    }
    return nand_erase(part, b) < 0 ? blame_block() : 0;
}

// The block fault as an event: retired, or used again.
void emit_block_fault(const run_events *events, nand_part *part, const block_fault &fault,
                      bool retired) {
    event e = event_of(event_kind::block_fault);
    e.part = part;
    e.component = part->name;
    e.block = fault.block;
    e.operation = op_name(fault);
    e.text = fault_text(fault);
    e.retired = retired;
    events_emit(events, e);
}

// Tests the block of a fault and marks it bad when it fails the test too;
// then the good blocks are counted again. A block that passes goes into
// tested. 0, or -1 (reported).
int retire_block(nand_part *part, const block_fault &fault, const run_events *events,
                 tested_blocks *tested) {
    int failed = test_block(part, fault.block);
    if (failed < 0)
        return -1;
    if (failed == 0) {
        if (tested->count < flash_max_block_faults)
            tested->list[tested->count++] = fault.block;
        log_printf(0, "%s: block %u passed its test after a failed %s: used again", part->name,
                   fault.block, op_name(fault));
        emit_block_fault(events, part, fault, false);
        return 0;
    }
    if (nand_mark_bad(part, static_cast<int>(fault.block)) < 0)
        return -1;
    log_printf(0, "%s: block %u marked bad: %s failed: %s", part->name, fault.block, op_name(fault),
               fault_text(fault));
    emit_block_fault(events, part, fault, true);
    return nand_count_usable(part);
}

// The passes of the flash: one, and with mark_bad one more after each block
// fault handled. 0, or -1 (reported).
int flash_passes(nand_part *part, const uint8_t *data, uint32_t size, int mode,
                 const flash_settings &settings, uint8_t *readback) {
    tested_blocks tested;
    tested.count = 0;
    for (int faults = 0;; faults++) {
        block_fault fault = {block_op::none, 0, 0};
        int result = flash_pass(part, data, size, mode, settings, readback, &fault, tested);
        if (result >= 0 || !settings.mark_bad || !is_block_fault(fault))
            return result;
        if (faults == flash_max_block_faults) {
            error("Giving up on %s after %d block faults: %s of block %u failed", part->name,
                  faults, op_name(fault), fault.block);
            return -1;
        }
        if (retire_block(part, fault, settings.events, &tested) < 0)
            return -1;
        if (!geometry_fits(size, part->usable_size)) {
            error("Image too big to fit partition");
            return -1;
        }
    }
}

} // namespace

int flash_erase(nand_part *part, uint32_t first_block, uint32_t block_count) {
    log_printf(2, "Erase %u blocks", block_count);
    block_fault fault;
    return check_geometry(part) ? erase_blocks(part, first_block, block_count, nullptr, &fault)
                                : -1;
}

int flash_write(nand_part *part, const uint8_t *data, uint32_t length) {
    log_printf(2, "Program %u bytes", length);
    block_fault fault;
    return check_geometry(part) ? write_image(part, data, length, nullptr, &fault) : -1;
}

int flash_read(nand_part *part, uint8_t *buf, uint32_t length, int mode) {
    log_printf(3, "%d bytes to read", static_cast<int>(length));
    if (!check_geometry(part))
        return -1;
    good_blocks walk;
    good_blocks_start(&walk, part, 0, true);
    uint32_t erasesize = part->info.erasesize;
    block_fault fault;
    for (uint32_t offset = 0; offset < length;) {
        uint32_t span = length - offset < erasesize ? length - offset : erasesize;
        uint32_t block;
        if (read_image_block(&walk, buf + offset, span, mode, &block, &fault, nullptr) < 0)
            return -1;
        offset += span;
    }
    return 0;
}

int flash_image(nand_part *part, const uint8_t *data, int32_t length, int mode,
                const flash_settings &settings) {
    if (!geometry_fits(static_cast<uint64_t>(static_cast<int64_t>(length)), part->usable_size)) {
        error("Image too big to fit partition");
        return -1;
    }
    if (!check_geometry(part))
        return -1;
    uint32_t size = static_cast<uint32_t>(length);
    if (settings.readback)
        return flash_passes(part, data, size, mode, settings, settings.readback);
    // The read-back holds at most one erase block at a time.
    uint32_t span = size < part->info.erasesize ? size : part->info.erasesize;
    byte_buffer block(span);
    if (!block.get()) {
        error_no_memory(span);
        return -1;
    }
    return flash_passes(part, data, size, mode, settings, block.get());
}
