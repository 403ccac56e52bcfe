#include "flash.h"

#include "check.h"
#include "geometry.h"
#include "log.h"
#include "nand.h"
#include "owners.h"
#include "report.h"
#include "stop_signals.h"
#include "velkan.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

namespace {

// The boot loader finds the kernel behind a header page that starts with this.
const uint8_t kernel_magic[8] = {'P', 'I', 'R', 'L', '!', 'i', 'm', 'g'};

void put_le32(uint8_t *bytes, uint32_t value) {
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
    bytes[2] = static_cast<uint8_t>(value >> 16);
    bytes[3] = static_cast<uint8_t>(value >> 24);
}

// One component: its name (that of its partition too), whether a kernel boot
// header page precedes it and the mode it is flashed in.
struct component {
    const char *name;
    bool with_header;
    int mode;
};

const component kernel_component = {"kernel", true, flash_mode_raw};
const component initfs_component = {"initfs", false, flash_mode_jffs2};

// The partition of one component: opened, or the stand-alone record of a
// simulated run, which reckons with the largest page. Closed when it goes out
// of scope.
class component_partition {
  public:
    component_partition() {
        memset(&simulated_, 0, sizeof simulated_);
        simulated_.page_size = geometry_max_page_size;
    }
    ~component_partition() {
        if (opened_)
            nand_close(opened_);
    }
    component_partition(const component_partition &) = delete;
    component_partition &operator=(const component_partition &) = delete;
    // 0, or -1 when the partition cannot be opened (reported). --check opens
    // it read-only.
    int acquire(const char *name) {
        if (simulate)
            return 0;
        return nand_open(name, &opened_, check_only ? nand_read_only : nand_read_write);
    }
    nand_part *get() {
        return opened_ ? opened_ : &simulated_;
    }

  private:
    nand_part simulated_;
    nand_part *opened_ = nullptr;
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
    check_image(c.name, set, *img);
    if (partition->acquire(c.name) < 0)
        return -1;
    nand_part *part = partition->get();
    uint64_t total = geometry_component_length((*img)->size, c.with_header, part->page_size);
    if (!simulate)
        check_partition(part, total);
    // A simulated run has no partition to fit, but its length must stay a flash length.
    uint64_t room = simulate ? INT32_MAX : part->usable_size;
    if (!geometry_fits(total, room)) {
        error("Image too big to fit partition");
        return -1;
    }
    if (!simulate && c.mode == flash_mode_jffs2) {
        if (nand_check_cleanmarker(part) < 0)
            return -1;
        check_cleanmarker(part);
    }
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
    stop_signals_completed(c.name);
    report_completed(c.name);
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

void flash_kernel_header(subimage *img, nand_part *part, uint8_t *header) {
    memset(header, 0, part->page_size);
    memcpy(header, kernel_magic, sizeof kernel_magic);
    put_le32(header + 8, 2);
    put_le32(header + 16, img->size);
}

int flash_kernel(image_set *set, hw_ident *ident) {
    return flash_component(set, ident, kernel_component);
}

int flash_initfs(image_set *set, hw_ident *ident) {
    return flash_component(set, ident, initfs_component);
}
