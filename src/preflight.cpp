#include "preflight.h"

#include "check.h"
#include "crc32.h"
#include "flash_image.h"
#include "geometry.h"
#include "log.h"
#include "owners.h"
#include "velkan.h"

#include <stdio.h>
#include <string.h>

const component kernel_component = {"kernel", true, flash_mode_raw};
const component initfs_component = {"initfs", false, flash_mode_jffs2};

namespace {

// Where the kernel says how much memory can still be had without swapping.
constexpr char meminfo_path[] = "/proc/meminfo";
constexpr char mem_available_key[] = "MemAvailable:";
// A simulated run has no erase block to go by: it reads in chunks of 16 KiB.
constexpr uint32_t simulated_chunk = 16384;

// The container's extent subblock, where it has one, against the file as it
// was opened: a file cut at an image boundary, extended, or with images
// dropped is refused.
int check_extent(const image_set *set, const preflight_request *req, preflight_result *out) {
    subblock *sb = nullptr;
    if (req->container)
        sb = subblock_find(set->header_subblocks, velkan_type_extent, 0);
    if (!sb)
        return 0;
    uint32_t images, length;
    if (!velkan_extent_decode(sb, &images, &length)) {
        error("%s: invalid extent subblock", req->container);
        return -1;
    }
    out->extent_given = true;
    if (images == req->container_images && length == set->file_size)
        return 0;
    error("%s: cut or extended: expected %u images in %u bytes, found %u in %u", req->container,
          images, length, req->container_images, set->file_size);
    return -1;
}

// Picks the component's image and checks its partition, which is closed again.
int add_component(image_set *set, const hw_ident *ident, const component &c,
                  preflight_result *out) {
    preflight_image *p = &out->images[out->count];
    p->c = &c;
    p->img = image_find_component(set, ident, c.name);
    if (!p->img) {
        fprintf(stderr, "No suitable %s image found.\n", c.name);
        return -1;
    }
    check_note_image(c.name, set, p->img);
    component_partition partition;
    if (component_open(c, p->img, &partition, &p->length) < 0)
        return -1;
    nand_part *part = partition.get();
    p->page_size = part->page_size;
    p->erasesize = part->info.erasesize;
    p->usable_size = part->usable_size;
    out->count++;
    return 0;
}

// The flash buffer and one erase block of read-back against MemAvailable,
// where the kernel reports it.
int check_memory(preflight_result *out) {
    uint32_t block = 0;
    for (int i = 0; i < out->count; i++) {
        const preflight_image &p = out->images[i];
        out->largest = p.length > out->largest ? p.length : out->largest;
        block = p.erasesize > block ? p.erasesize : block;
    }
    out->memory_needed = uint64_t(out->largest) + block;
    out->memory_available = preflight_memory_available_in(meminfo_path);
    if (out->memory_available < 0 || out->memory_needed <= uint64_t(out->memory_available))
        return 0;
    error("Not enough memory to flash: %llu KiB needed, %llu KiB available",
          static_cast<unsigned long long>((out->memory_needed + 1023) / 1024),
          static_cast<unsigned long long>(out->memory_available / 1024));
    return -1;
}

// The image's CRC-32 subblock, where it has one, against the CRC computed.
int check_crc(preflight_image *p) {
    subblock *sb = subblock_find(p->img->subblocks, velkan_type_crc32, 0);
    if (!sb)
        return 0;
    uint32_t expected;
    if (!velkan_crc32_decode(sb, &expected)) {
        error("Image '%s': invalid CRC-32 subblock", p->c->name);
        return -1;
    }
    if (expected != p->crc) {
        error("Image '%s': CRC-32 mismatch, expected %08x, computed %08x", p->c->name, expected,
              p->crc);
        return -1;
    }
    p->crc_given = true;
    return 0;
}

// Reads the image's data and filler in full, one erase block at a time, and
// checks its CRC-32.
int read_image(preflight_image *p) {
    subimage *img = p->img;
    uint32_t chunk = p->erasesize ? p->erasesize : simulated_chunk;
    chunk = img->size < chunk ? img->size : chunk;
    byte_buffer buffer(chunk);
    if (!buffer.get()) {
        error_no_memory(chunk);
        return -1;
    }
    uint32_t crc = 0;
    for (uint32_t pos = 0; pos < img->size;) {
        uint32_t count = img->size - pos < chunk ? img->size - pos : chunk;
        if (velkan_read_bytes(img, pos, buffer.get(), count) < 0)
            return -1;
        crc = crc32_update(crc, buffer.get(), count);
        check_note_chunk(buffer.get(), count);
        pos += count;
    }
    p->crc = crc;
    if (check_crc(p) < 0)
        return -1;
    check_note_data(p);
    return 0;
}

} // namespace

component_partition::component_partition() {
    memset(&simulated_, 0, sizeof simulated_);
    simulated_.page_size = geometry_max_page_size;
}

component_partition::~component_partition() {
    if (opened_)
        nand_close(opened_);
}

int component_partition::acquire(const char *name) {
    if (simulate)
        return 0;
    // --check opens the partition read-only.
    return nand_open(name, &opened_, check_only ? nand_read_only : nand_read_write);
}

int component_open(const component &c, subimage *img, component_partition *partition,
                   uint32_t *length) {
    if (partition->acquire(c.name) < 0)
        return -1;
    nand_part *part = partition->get();
    uint64_t total = geometry_component_length(img->size, c.with_header, part->page_size);
    if (!simulate)
        check_note_partition(part, total);
    // A simulated run has no partition to fit, but its length must stay a flash length.
    uint64_t room = simulate ? INT32_MAX : part->usable_size;
    if (!geometry_fits(total, room)) {
        error("Image too big to fit partition");
        return -1;
    }
    if (!simulate && c.mode == flash_mode_jffs2) {
        if (nand_check_cleanmarker(part) < 0)
            return -1;
        check_note_cleanmarker(part);
    }
    *length = static_cast<uint32_t>(total);
    return 0;
}

int preflight_run(image_set *set, const hw_ident *ident, const preflight_request *req,
                  preflight_result *out) {
    memset(out, 0, sizeof *out);
    out->memory_available = -1;
    if (check_extent(set, req, out) < 0)
        return -1;
    if (req->kernel && add_component(set, ident, kernel_component, out) < 0)
        return -1;
    if (req->initfs && add_component(set, ident, initfs_component, out) < 0)
        return -1;
    if (check_memory(out) < 0)
        return -1;
    for (int i = 0; i < out->count; i++) {
        if (read_image(&out->images[i]) < 0)
            return -1;
    }
    return 0;
}

int64_t preflight_memory_available_in(const char *path) {
    FILE *file = fopen(path, "r");
    if (!file)
        return -1;
    // The line comes third; the file is a few dozen lines.
    char text[4096];
    size_t length = fread(text, 1, sizeof text - 1, file);
    fclose(file);
    text[length] = 0;
    // The key at the start of a line, blanks, then the figure in KiB.
    const char *at = strstr(text, mem_available_key);
    while (at && at != text && at[-1] != '\n')
        at = strstr(at + 1, mem_available_key);
    if (!at)
        return -1;
    at += sizeof mem_available_key - 1;
    while (*at == ' ')
        at++;
    if (*at < '0' || *at > '9')
        return -1;
    int64_t kib = 0;
    for (; *at >= '0' && *at <= '9' && kib < INT64_MAX / 10240; at++)
        kib = kib * 10 + (*at - '0');
    return kib * 1024;
}
