#include "check.h"

#include "good_blocks.h"
#include "ident.h"
#include "log.h"
#include "nand.h"
#include "preflight.h"
#include "report.h"
#include "velkan.h"

#include <stdio.h>
#include <string.h>

int check_only;

namespace {

// Bad blocks listed by number; the count goes on beyond.
constexpr int max_listed = 32;

// Set once the checks before the flash are over: the flash's own opening of
// a partition notes nothing again.
bool finished;

bool wanted() {
    return !finished && (check_only || report_active());
}

// The 16-bit checksum of the image's data being read.
uint16_t checksum;

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

// The bad blocks of the partition, as the gaps of the walk over its good
// ones: their count, and the first max_listed in bad. -1 when a query failed.
int bad_blocks(nand_part *part, uint32_t *bad, int *listed) {
    good_blocks walk;
    good_blocks_start(&walk, part, 0, false);
    int count = 0, found;
    uint32_t block, next = 0;
    while ((found = good_blocks_next(&walk, &block)) >= 0) {
        uint32_t end = found > 0 ? block : walk.blocks;
        for (; next < end; next++, count++) {
            if (count < max_listed)
                bad[count] = next;
        }
        if (found == 0)
            break;
        next = block + 1;
    }
    *listed = count < max_listed ? count : max_listed;
    return found < 0 ? -1 : count;
}

} // namespace

void check_note_identity(const hw_ident *ident, bool override) {
    report_identity(ident, override);
    if (check_only)
        log_printf(0, "Identity: product %s, HW build %s%s", ident->product, ident->hw_build,
                   override ? " (override)" : "");
}

void check_note_container(const image_set *set, const char *path) {
    report_container(set, path);
    if (!check_only)
        return;
    int images = 0;
    for (const subimage *img = set->subimages; img; img = img->next)
        images += img->data_offset != 0;
    subblock *release = subblock_find(set->header_subblocks, velkan_type_version, 0);
    log_printf(0, "Container: %s, %u bytes, %d image(s)%s%.*s", path, set->file_size, images,
               release ? ", release " : "", release ? release->len : 0,
               release ? reinterpret_cast<const char *>(release->data) : "");
}

void check_note_image(const char *component, const image_set *set, const subimage *img) {
    if (!wanted())
        return;
    int index = image_index(set, img);
    report_image(component, img, index, header_checksum(img));
    if (!check_only)
        return;
    if (index == 0) {
        log_printf(0, "%s: loose file %s, %u bytes", component, img->path, img->size);
        return;
    }
    // The first line as velkan-pack check names the image.
    subblock *version = subblock_find(img->subblocks, velkan_type_version, 0);
    log_printf(0, "%s: image %d, %u bytes%s%.*s", component, index, img->size,
               version ? ", version " : "", version ? version->len : 0,
               version ? reinterpret_cast<const char *>(version->data) : "");
    log_printf(0, "%s: data at offset %u of %s", component, img->data_offset, img->path);
}

void check_note_partition(nand_part *part, uint64_t length) {
    if (!wanted())
        return;
    uint32_t bad[max_listed];
    int listed = 0;
    int count = bad_blocks(part, bad, &listed);
    report_partition(part, length, bad, listed, count < 0 ? 0 : count);
    if (!check_only)
        return;
    const mtd_info_user &info = part->info;
    log_printf(
        0, "%s: partition %s, %u blocks of %u bytes, %u-byte pages (write size %u), %u OOB bytes",
        part->name, part->path, info.size / info.erasesize, info.erasesize, part->page_size,
        info.writesize, info.oobsize);
    char list[max_listed * 11 + 8] = "";
    for (int i = 0; i < listed; i++) {
        size_t used = strlen(list);
        snprintf(list + used, sizeof list - used, "%s%u", i ? ", " : " (", bad[i]);
    }
    log_printf(0, "%s: %d bad block(s)%s%s", part->name, count, list,
               listed < count ? ", ...)"
               : listed       ? ")"
                              : "");
    log_printf(0, "%s: %llu bytes usable, %llu needed", part->name,
               static_cast<unsigned long long>(part->usable_size),
               static_cast<unsigned long long>(length));
}

void check_note_cleanmarker(const nand_part *part) {
    if (check_only)
        log_printf(0, "%s: OOB layout takes the clean marker (%u free OOB bytes)", part->name,
                   part->ecclayout.oobavail);
}

void check_note_chunk(const uint8_t *bytes, uint32_t count) {
    if (wanted())
        checksum ^= xor_words16(bytes, count);
}

void check_note_data(const preflight_image *p) {
    uint16_t computed = checksum;
    checksum = 0;
    if (!wanted())
        return;
    const char *name = p->c->name;
    uint16_t expected = header_checksum(p->img);
    report_data(name, p->img->size, p->crc, p->crc_given, expected, computed);
    if (!check_only)
        return;
    log_printf(0, "%s: %u bytes read, CRC-32 %08x%s", name, p->img->size, p->crc,
               p->crc_given ? ", as the image says" : " (the image gives none)");
    if (expected == computed)
        log_printf(0, "%s: checksum %04x, as the header says", name, computed);
    else
        log_printf(0, "Warning: %s: checksum %04x in the header, %04x over data and filler", name,
                   expected, computed);
}

void check_finished(const preflight_result *checked) {
    if (wanted() && checked->count > 0)
        report_memory(checked->memory_needed, checked->memory_available);
    unsigned long long needed = (checked->memory_needed + 1023) / 1024;
    if (check_only && checked->count > 0 && checked->memory_available >= 0)
        log_printf(0, "Memory: %llu KiB needed, %llu KiB available", needed,
                   static_cast<unsigned long long>(checked->memory_available / 1024));
    else if (check_only && checked->count > 0)
        log_printf(0, "Memory: %llu KiB needed; the kernel does not say what is available", needed);
    finished = true;
    if (check_only)
        log_printf(0, "Check passed: a flash would go ahead; nothing was written");
}
