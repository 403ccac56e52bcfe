#include "flash.h"

#include "crc32.h"
#include "log.h"
#include "nand.h"
#include "owners.h"
#include "stop_signals.h"
#include "velkan.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace {

// The boot loader finds the kernel behind a header page that starts with this.
const uint8_t kernel_magic[8] = {'P', 'I', 'R', 'L', '!', 'i', 'm', 'g'};

void put_le32(uint8_t *bytes, uint32_t value) {
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
    bytes[2] = static_cast<uint8_t>(value >> 16);
    bytes[3] = static_cast<uint8_t>(value >> 24);
}

// Reads the component into buffer, behind its kernel boot header page when it
// has one, and checks that these are the bytes the checks read: a file changed
// since is refused before its partition is erased. 0, or -1 (reported).
int read_component(const preflight_image &checked, uint8_t *buffer) {
    subimage *img = checked.img;
    uint32_t header_size = checked.length - img->size;
    if (checked.c->with_header)
        flash_kernel_header(img, checked.part, buffer);
    log_printf(1, "Reading %s image", checked.c->name);
    if (velkan_read_bytes(img, 0, buffer + header_size, img->size) < 0)
        return -1;
    uint32_t crc = crc32_update(0, buffer + header_size, img->size);
    if (crc != checked.crc) {
        error("Image '%s' changed since it was checked: CRC-32 %08x, now %08x", checked.c->name,
              checked.crc, crc);
        return -1;
    }
    return 0;
}

// What flashing the components takes, all of it had before the first erase.
struct flash_means {
    uint8_t *buffer;   // room for the largest component
    uint8_t *readback; // room for the largest read-back of one erase block
    stop_signals *signals;
    flash_progress *done;
};

// Reads the component into the buffer and flashes it onto its partition,
// opened by the checks. The stop signals are held from its erase on and looked
// at before it and once it is completed.
int flash_component(const flash_request *req, const preflight_image &checked,
                    const flash_means &means) {
    const component &c = *checked.c;
    const run_events *events = req->checks.events;
    if (read_component(checked, means.buffer) < 0)
        return -1;
    if (req->checks.options.simulate)
        return 0;
    log_printf(1, "Flashing %s image", c.name);
    stop_signals_hold(means.signals);
    stop_signals_check(means.signals, means.done->completed, means.done->count, events);
    flash_settings settings = {req->checks.options.mark_bad, events, means.readback};
    if (flash_image(checked.part, means.buffer, static_cast<int32_t>(checked.length), c.mode,
                    settings) < 0)
        return -1;
    means.done->completed[means.done->count++] = c.name;
    event e = event_of(event_kind::completed);
    e.component = c.name;
    events_emit(events, e);
    stop_signals_check(means.signals, means.done->completed, means.done->count, events);
    return 0;
}

// The components in turn, the initfs after -K.
int flash_components(const flash_request *req, const preflight_result &checked,
                     const flash_means &means) {
    for (int i = 0; i < checked.count; i++) {
        const preflight_image &p = checked.images[i];
        log_printf(0, "Reading and flashing %s image", p.c->name);
        if (p.c == &initfs_component && req->kill) {
            log_printf(1, "Killing initfs processes");
            req->kill();
        }
        if (flash_component(req, p, means) < 0)
            return -1;
    }
    return 0;
}

// The checks passed: what the flash needs of memory, then that they passed,
// and for a flash what its phases are to do: each component's good blocks
// erased, its length written and read back.
void emit_checked(const run_events *events, const preflight_result &checked,
                  const run_options &options) {
    if (checked.count > 0) {
        event e = event_of(event_kind::memory);
        e.needed = checked.memory_needed;
        e.available = checked.memory_available;
        events_emit(events, e);
    }
    events_emit(events, event_of(event_kind::checked));
    if (options.check || options.simulate || checked.count == 0)
        return;
    event plan = event_of(event_kind::plan);
    for (int i = 0; i < checked.count; i++) {
        const preflight_image &p = checked.images[i];
        uint32_t erasesize = p.part->info.erasesize;
        plan.bytes += p.part->usable_size / erasesize * erasesize + 2ULL * p.length;
    }
    events_emit(events, plan);
}

// The run after the checks, on the partitions they opened.
int flash_checked(const flash_request *req, const preflight_result &checked, stop_signals *signals,
                  flash_progress *done) {
    // One buffer for every component and one for the read-back, taken before
    // anything is erased.
    byte_buffer buffer(checked.largest);
    if (!buffer.get()) {
        error_no_memory(checked.largest);
        return -1;
    }
    bool simulate = req->checks.options.simulate;
    byte_buffer readback(simulate ? 0 : checked.readback);
    if (!readback.get()) {
        error_no_memory(checked.readback);
        return -1;
    }
    emit_checked(req->checks.events, checked, req->checks.options);
    if (req->checks.options.check)
        return 0;
    log_printf(1, "Calling sync()");
    sync();
    if (flash_components(req, checked, {buffer.get(), readback.get(), signals, done}) < 0)
        return -1;
    log_printf(0, "Image(s) successfully flashed%s", simulate ? " (not!)" : "");
    log_printf(1, "Calling sync() again");
    sync();
    stop_signals_check(signals, done->completed, done->count, req->checks.events);
    return 0;
}

} // namespace

int flash_run(image_set *set, hw_ident *ident, const flash_request *req, stop_signals *signals,
              flash_progress *done) {
    memset(done, 0, sizeof *done);
    preflight_result checked;
    int result = preflight_run(set, ident, &req->checks, &checked);
    if (result == 0)
        result = flash_checked(req, checked, signals, done);
    preflight_release(&checked);
    return result;
}

void flash_kernel_header(subimage *img, nand_part *part, uint8_t *header) {
    memset(header, 0, part->page_size);
    memcpy(header, kernel_magic, sizeof kernel_magic);
    put_le32(header + 8, 2);
    put_le32(header + 16, img->size);
}
