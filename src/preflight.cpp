#include "preflight.h"

#include "crc32.h"
#include "flash_image.h"
#include "geometry.h"
#include "log.h"
#include "owners.h"
#include "velkan.h"
#include "velkan_sign.h"

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

bool have_keys(const preflight_request *req) {
    return req->keys && req->keys->count > 0;
}

// The container's signature: with keys, it must be good and made with one of
// them; without, it is only reported. Either way an event says what it is.
int check_signature(const image_set *set, const preflight_request *req) {
    if (!req->container)
        return 0;
    event e = event_of(event_kind::signature);
    velkan_signature sig;
    e.signed_container = sign_container_signature(set, &sig) == velkan_signature_state::signed_;
    e.key_id = e.signed_container ? sig.key_id : nullptr;
    if (have_keys(req)) {
        const sign_key *key = sign_check_container(set, req->keys, req->container);
        if (!key)
            return -1;
        e.key_name = key->name;
    }
    events_emit(req->events, e);
    return 0;
}

// The checksum the image's header gives: a loose file's is the one computed
// for the FILE_DATA subblock built for it.
uint16_t header_checksum(const subimage *img) {
    velkan_file_data fields;
    subblock *sb = subblock_find(img->subblocks, velkan_type_file_data, 0);
    return sb && velkan_file_data_decode(sb, &fields) ? fields.checksum : img->checksum;
}

// The image's place among the images of its file, from 1; 0 for a loose file.
int image_index(const image_set *set, const subimage *img) {
    if (img->data_offset == 0)
        return 0;
    int index = 1;
    for (const subimage *i = set->subimages; i != img; i = i->next)
        index += strcmp(i->path, img->path) == 0;
    return index;
}

// Picks the component's image and checks its partition, which stays open.
int add_component(image_set *set, const hw_ident *ident, const component &c,
                  const preflight_request *req, preflight_result *out) {
    preflight_image *p = &out->images[out->count];
    p->c = &c;
    p->img = image_find_component(set, ident, c.name);
    if (!p->img) {
        error("No suitable %s image found.", c.name);
        return -1;
    }
    // Nothing signs a loose file.
    if (have_keys(req) && !p->img->fd_shared) {
        error("%s: loose image %s refused: this device takes only containers signed with a key "
              "in %s",
              c.name, p->img->path, req->key_dir);
        return -1;
    }
    event e = event_of(event_kind::image);
    e.component = c.name;
    e.set = set;
    e.img = p->img;
    e.index = image_index(set, p->img);
    e.checksum = header_checksum(p->img);
    events_emit(req->events, e);
    if (component_open(c, p->img, req->options, req->events, &out->simulated, &p->part,
                       &p->length) < 0)
        return -1;
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
        uint32_t erasesize = p.part->info.erasesize;
        block = erasesize > block ? erasesize : block;
        uint32_t span = p.length < erasesize ? p.length : erasesize;
        out->readback = span > out->readback ? span : out->readback;
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
// checks its CRC-32; what was read is an event.
int read_image(preflight_image *p, const preflight_request *req) {
    subimage *img = p->img;
    uint32_t erasesize = p->part->info.erasesize;
    uint32_t chunk = erasesize ? erasesize : simulated_chunk;
    chunk = img->size < chunk ? img->size : chunk;
    byte_buffer buffer(chunk);
    if (!buffer.get()) {
        error_no_memory(chunk);
        return -1;
    }
    uint32_t crc = 0;
    uint16_t checksum = 0;
    bool signing = have_keys(req);
    sign_digest digest;
    if (signing)
        sign_digest_start(&digest);
    for (uint32_t pos = 0; pos < img->size;) {
        uint32_t count = img->size - pos < chunk ? img->size - pos : chunk;
        if (velkan_read_bytes(img, pos, buffer.get(), count) < 0)
            return -1;
        crc = crc32_update(crc, buffer.get(), count);
        // Chunks hold an even number of bytes but the last.
        if (req->options.details)
            checksum ^= xor_words16(buffer.get(), count);
        if (signing)
            sign_digest_add(&digest, buffer.get(), count);
        pos += count;
    }
    p->crc = crc;
    if (check_crc(p) < 0 || (signing && sign_digest_check(&digest, img, p->c->name) < 0))
        return -1;
    event e = event_of(event_kind::data);
    e.component = p->c->name;
    e.img = img;
    e.crc = crc;
    e.crc_given = p->crc_given;
    e.checksum = header_checksum(img);
    e.computed = checksum;
    events_emit(req->events, e);
    return 0;
}

// An event about the component's partition.
void emit_partition(const run_events *events, event_kind kind, const component &c, nand_part *p,
                    uint64_t length) {
    event e = event_of(kind);
    e.component = c.name;
    e.part = p;
    e.length = length;
    events_emit(events, e);
}

} // namespace

int component_open(const component &c, subimage *img, const run_options &options,
                   const run_events *events, nand_part *simulated, nand_part **part,
                   uint32_t *length) {
    nand_part *opened = nullptr;
    if (options.simulate) {
        memset(simulated, 0, sizeof *simulated);
        simulated->page_size = geometry_max_page_size;
    } else if (nand_open(c.name, &opened, options.check ? nand_read_only : nand_read_write) < 0) {
        return -1;
    }
    nand_part *p = opened ? opened : simulated;
    uint64_t total = geometry_component_length(img->size, c.with_header, p->page_size);
    if (opened)
        emit_partition(events, event_kind::partition, c, p, total);
    // A simulated run has no partition to fit, but its length must stay a flash length.
    bool fits = geometry_fits(total, opened ? p->usable_size : INT32_MAX);
    if (!fits)
        error("Image too big to fit partition");
    else if (opened && c.mode == flash_mode_jffs2 && nand_check_cleanmarker(p) < 0)
        fits = false;
    else if (opened && c.mode == flash_mode_jffs2)
        emit_partition(events, event_kind::cleanmarker, c, p, total);
    if (!fits) {
        nand_close(opened);
        return -1;
    }
    *part = p;
    *length = static_cast<uint32_t>(total);
    return 0;
}

int preflight_run(image_set *set, const hw_ident *ident, const preflight_request *req,
                  preflight_result *out) {
    memset(out, 0, sizeof *out);
    out->memory_available = -1;
    if (check_extent(set, req, out) < 0 || check_signature(set, req) < 0)
        return -1;
    if (req->kernel && add_component(set, ident, kernel_component, req, out) < 0)
        return -1;
    if (req->initfs && add_component(set, ident, initfs_component, req, out) < 0)
        return -1;
    if (check_memory(out) < 0)
        return -1;
    for (int i = 0; i < out->count; i++) {
        if (read_image(&out->images[i], req) < 0)
            return -1;
    }
    return 0;
}

void preflight_release(preflight_result *result) {
    for (int i = 0; i < result->count; i++) {
        if (result->images[i].part != &result->simulated)
            nand_close(result->images[i].part);
        result->images[i].part = nullptr;
    }
    result->count = 0;
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
