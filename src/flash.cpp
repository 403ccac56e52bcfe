#include "flash.h"

#include "check.h"
#include "crc32.h"
#include "log.h"
#include "nand.h"
#include "owners.h"
#include "report.h"
#include "stop_signals.h"
#include "velkan.h"

#include <stdint.h>
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
int read_component(const preflight_image &checked, nand_part *part, uint8_t *buffer) {
    subimage *img = checked.img;
    uint32_t header_size = checked.length - img->size;
    if (checked.c->with_header)
        flash_kernel_header(img, part, buffer);
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

// Opens the component's partition, reads the component into buffer (room for
// the largest of the run) and flashes it. The stop signals are held from its
// erase on and looked at before it and once it is completed.
int flash_component(const preflight_image &checked, uint8_t *buffer, stop_signals *signals) {
    const component &c = *checked.c;
    component_partition partition;
    uint32_t length;
    if (component_open(c, checked.img, &partition, &length) < 0)
        return -1;
    // The geometry of a partition does not change while the system runs.
    if (length != checked.length) {
        error("Partition %s changed since it was checked", c.name);
        return -1;
    }
    nand_part *part = partition.get();
    if (read_component(checked, part, buffer) < 0)
        return -1;
    if (simulate)
        return 0;
    log_printf(1, "Flashing %s image", c.name);
    stop_signals_hold(signals);
    stop_signals_check(signals);
    if (flash_image(part, buffer, static_cast<int32_t>(length), c.mode) < 0)
        return -1;
    stop_signals_completed(signals, c.name);
    report_completed(c.name);
    stop_signals_check(signals);
    return 0;
}

// The components in turn, the initfs after -K.
int flash_components(const flash_request *req, const preflight_result &checked, uint8_t *buffer,
                     stop_signals *signals) {
    for (int i = 0; i < checked.count; i++) {
        const preflight_image &p = checked.images[i];
        log_printf(0, "Reading and flashing %s image", p.c->name);
        if (p.c == &initfs_component && req->kill) {
            log_printf(1, "Killing initfs processes");
            req->kill();
        }
        if (flash_component(p, buffer, signals) < 0)
            return -1;
    }
    return 0;
}

} // namespace

int flash_run(image_set *set, hw_ident *ident, const flash_request *req, stop_signals *signals) {
    preflight_result checked;
    if (preflight_run(set, ident, &req->checks, &checked) < 0)
        return -1;
    // One buffer for every component, taken before anything is erased.
    byte_buffer buffer(checked.largest);
    if (!buffer.get()) {
        error_no_memory(checked.largest);
        return -1;
    }
    check_finished(&checked);
    if (check_only)
        return 0;
    log_printf(1, "Calling sync()");
    sync();
    if (flash_components(req, checked, buffer.get(), signals) < 0)
        return -1;
    log_printf(0, "Image(s) successfully flashed%s", simulate ? " (not!)" : "");
    log_printf(1, "Calling sync() again");
    sync();
    stop_signals_check(signals);
    return 0;
}

void flash_kernel_header(subimage *img, nand_part *part, uint8_t *header) {
    memset(header, 0, part->page_size);
    memcpy(header, kernel_magic, sizeof kernel_magic);
    put_le32(header + 8, 2);
    put_le32(header + 16, img->size);
}
