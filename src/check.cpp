#include "check.h"

#include "ident.h"
#include "log.h"
#include "nand.h"
#include "velkan.h"
#include "velkan_sign.h"

#include <stdio.h>
#include <string.h>

namespace {

// Bad blocks listed by number; the count goes on beyond.
constexpr int max_listed = 32;

void identity(const event &e) {
    log_printf(0, "Identity: product %s, HW build %s%s", e.ident->product, e.ident->hw_build,
               e.override_identity ? " (override)" : "");
}

void container(const event &e) {
    int images = 0;
    for (const subimage *img = e.set->subimages; img; img = img->next)
        images += img->data_offset != 0;
    subblock *release = subblock_find(e.set->header_subblocks, velkan_type_version, 0);
    log_printf(0, "Container: %s, %u bytes, %d image(s)%s%.*s", e.path, e.set->file_size, images,
               release ? ", release " : "", release ? release->len : 0,
               release ? reinterpret_cast<const char *>(release->data) : "");
}

void image(const event &e) {
    const subimage *img = e.img;
    if (e.index == 0) {
        log_printf(0, "%s: loose file %s, %u bytes", e.component, img->path, img->size);
        return;
    }
    // The first line as velkan-pack check names the image.
    subblock *version = subblock_find(img->subblocks, velkan_type_version, 0);
    log_printf(0, "%s: image %d, %u bytes%s%.*s", e.component, e.index, img->size,
               version ? ", version " : "", version ? version->len : 0,
               version ? reinterpret_cast<const char *>(version->data) : "");
    log_printf(0, "%s: data at offset %u of %s", e.component, img->data_offset, img->path);
}

// The chip's ECC, and how the read-back will learn what it did.
void ecc(const nand_part *part) {
    const char *how = part->ecc_reads == nand_ecc_reads::per_read ? "per read (MEMREAD)"
                      : part->ecc_reads == nand_ecc_reads::per_block
                          ? "per block (ECCGETSTATS, which other readers move too)"
                          : "not at all (the driver does not tell)";
    if (part->ecc_strength == 0)
        log_printf(0, "%s: ECC strength not reported; the read-back gets ECC figures %s",
                   part->name, how);
    else
        log_printf(0,
                   "%s: ECC corrects %u bit(s) per %u bytes, bit-flip threshold %u; the read-back "
                   "gets ECC figures %s",
                   part->name, part->ecc_strength, part->ecc_step_size, nand_ecc_threshold(part),
                   how);
}

void partition(const event &e) {
    const nand_part *part = e.part;
    const mtd_info_user &info = part->info;
    log_printf(
        0, "%s: partition %s, %u blocks of %u bytes, %u-byte pages (write size %u), %u OOB bytes",
        part->name, part->path, info.size / info.erasesize, info.erasesize, part->page_size,
        info.writesize, info.oobsize);
    uint32_t count = part->bad_count;
    uint32_t listed = count < max_listed ? count : max_listed;
    char list[max_listed * 11 + 8] = "";
    for (uint32_t i = 0; i < listed; i++) {
        size_t used = strlen(list);
        snprintf(list + used, sizeof list - used, "%s%u", i ? ", " : " (", part->bad_list[i]);
    }
    log_printf(0, "%s: %u bad block(s)%s%s", part->name, count, list,
               listed < count ? ", ...)"
               : listed       ? ")"
                              : "");
    log_printf(0, "%s: %llu bytes usable, %llu needed", part->name,
               static_cast<unsigned long long>(part->usable_size),
               static_cast<unsigned long long>(e.length));
    ecc(part);
}

void data(const event &e) {
    log_printf(0, "%s: %u bytes read, CRC-32 %08x%s", e.component, e.img->size, e.crc,
               e.crc_given ? ", as the image says" : " (the image gives none)");
    if (e.checksum == e.computed)
        log_printf(0, "%s: checksum %04x, as the header says", e.component, e.computed);
    else
        log_printf(0, "Warning: %s: checksum %04x in the header, %04x over data and filler",
                   e.component, e.checksum, e.computed);
}

void signature(const event &e) {
    char id[2 * velkan_key_id_len + 1];
    if (!e.signed_container)
        log_printf(0, "Signature: none");
    else if (e.key_name)
        log_printf(0, "Signature: good, key %s (%s)", e.key_name, sign_key_id_text(e.key_id, id));
    else
        log_printf(0, "Signature: key %s, not checked: this device has no keys",
                   sign_key_id_text(e.key_id, id));
}

void memory(const event &e) {
    unsigned long long needed = (e.needed + 1023) / 1024;
    if (e.available >= 0)
        log_printf(0, "Memory: %llu KiB needed, %llu KiB available", needed,
                   static_cast<unsigned long long>(e.available / 1024));
    else
        log_printf(0, "Memory: %llu KiB needed; the kernel does not say what is available", needed);
}

} // namespace

void check_lines_notify(void *, const event &e) {
    switch (e.kind) {
    case event_kind::identity:
        return identity(e);
    case event_kind::container:
        return container(e);
    case event_kind::image:
        return image(e);
    case event_kind::partition:
        return partition(e);
    case event_kind::cleanmarker:
        log_printf(0, "%s: OOB layout takes the clean marker (%u free OOB bytes)", e.component,
                   e.part->ecclayout.oobavail);
        return;
    case event_kind::signature:
        return signature(e);
    case event_kind::data:
        return data(e);
    case event_kind::memory:
        return memory(e);
    case event_kind::checked:
        log_printf(0, "Check passed: a flash would go ahead; nothing was written");
        return;
    default:
        return;
    }
}
