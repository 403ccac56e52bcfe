// The container reader: the file header and the subimage headers, with the
// data areas skipped.
#include "velkan.h"

#include "velkan_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Room for the largest file header, and for the largest subimage header.
constexpr uint32_t header_buffer_size = velkan_file_header_max;
static_assert(velkan_subimage_budget + 2 <= header_buffer_size, "a subimage header fits");

constexpr size_t max_path_len = sizeof(subimage::path) - 1;
// Sizes are 32-bit: a file must fit them.
constexpr uint64_t max_file_size = 0xFFFFFFFFu;

// A copy of count bytes (at least one byte is allocated, so that an empty copy
// is not mistaken for a failure), or null.
uint8_t *copy_bytes(const uint8_t *src, uint32_t count) {
    uint8_t *copy = static_cast<uint8_t *>(malloc(count ? count : 1));
    if (copy && count)
        memcpy(copy, src, count);
    return copy;
}

// Logs the first version subblock of the list between before and after, with
// its control characters escaped.
void log_version(subblock *list, const char *before, const char *after) {
    subblock *sb = subblock_find(list, velkan_type_version, 0);
    if (!sb)
        return;
    char version[velkan_printable_size(velkan_max_value_len)];
    log_printf(1, "%s%s%s", before, velkan_printable(sb->data, sb->len, version, sizeof version),
               after);
}

void log_valid_for(subimage *img) {
    for (int n = 0;; n++) {
        subblock *sb = subblock_find(img->subblocks, velkan_type_valid_for, n);
        if (!sb)
            return;
        int builds = velkan_valid_for_builds(sb);
        if (builds < 0) {
            velkan_fail("Invalid VELKAN product / HW rev subblock");
            return;
        }
        // At most 16 + 29 * (2 + 8) characters, each escaped in at most 4.
        char line[velkan_printable_size(velkan_product_width + 29 * (2 + velkan_hw_build_width))];
        char text[velkan_printable_size(velkan_product_width)];
        int at = snprintf(line, sizeof line, "%s",
                          velkan_printable(velkan_valid_for_product(sb), velkan_product_width, text,
                                           sizeof text));
        for (int i = 0; i < builds; i++)
            at += snprintf(line + at, sizeof line - static_cast<size_t>(at), "%s%s",
                           i == 0 ? ": " : ", ",
                           velkan_printable(velkan_valid_for_build(sb, i), velkan_hw_build_width,
                                            text, sizeof text));
        log_printf(1, "\tValid for %s", line);
    }
}

void log_partitions(subimage *img) {
    subblock *sb = subblock_find(img->subblocks, velkan_type_partitions, 0);
    if (!sb)
        return;
    int64_t entries = velkan_partition_count(sb);
    if (entries == velkan_partitions_no_size) {
        error("Bad partition subblock, no size for partition data");
        return;
    }
    if (entries == velkan_partitions_bad_length) {
        error("Bad partition subblock, length mismatch");
        return;
    }
    for (uint32_t i = 0; i < entries; i++) {
        velkan_partition entry = velkan_partition_at(sb, i);
        log_printf(3, "Partition: type %d, flash mode %d, size %d", entry.type, entry.mode,
                   static_cast<int32_t>(entry.size));
    }
}

// Takes the image's name, sizes and checksum from its FILE_DATA subblock and
// logs what the image holds. 0 or -1.
int read_file_data(subimage *img) {
    subblock *sb = subblock_find(img->subblocks, velkan_type_file_data, 0);
    if (!sb) {
        velkan_fail("VELKAN file data subblock not found");
        return -1;
    }
    velkan_file_data fields;
    if (!velkan_file_data_decode(sb, &fields)) {
        velkan_fail("VELKAN file data subblock length mismatch");
        return -1;
    }
    img->checksum = fields.checksum;
    memcpy(img->name, fields.name, sizeof img->name);
    img->data_size = fields.data_size;
    // The rounded size must stay a 32-bit number; no file holds such data anyway.
    if (img->data_size > velkan_max_data_size) {
        velkan_fail("VELKAN subimage data length mismatch");
        return -1;
    }
    img->size = img->data_size;
    char name[velkan_printable_size(velkan_name_width)];
    velkan_printable(img->name, velkan_name_width, name, sizeof name);
    if (img->size % velkan_data_alignment) {
        velkan_warn("Image '%s' not aligned", name);
        img->size = velkan_round_up(img->size);
    }
    log_printf(1, "Image '%s', size %u bytes", name, img->size);
    log_valid_for(img);
    log_version(img->subblocks, "\tVersion ", "");
    log_partitions(img);
    return 0;
}

// The file header: its subblocks into set. 0 or -1.
int read_file_header(int fd, image_set *set) {
    uint8_t buf[header_buffer_size];
    if (!velkan_read_exact(fd, buf, 5)) {
        velkan_fail_system("Error reading VELKAN header");
        return -1;
    }
    if (buf[0] != velkan_file_header_byte) {
        velkan_fail("Invalid VELKAN file header");
        return -1;
    }
    uint32_t len = get_be32(buf + 1);
    // The body holds at least the subblock count.
    if (len < 4 || uint64_t(5) + len > header_buffer_size || uint64_t(5) + len > set->file_size) {
        velkan_fail("VELKAN image header size mismatch");
        return -1;
    }
    if (!velkan_read_exact(fd, buf + 5, len)) {
        velkan_fail_system("Error reading VELKAN header");
        return -1;
    }
    uint32_t count = get_be32(buf + 5);
    const uint8_t *body = buf + 9;
    uint32_t body_len = len - 4;
    set->header_bytes = copy_bytes(body, body_len);
    if (!set->header_bytes) {
        velkan_fail_system("malloc");
        return -1;
    }
    set->header_len = body_len;
    int pos = 0;
    int remaining = static_cast<int>(body_len);
    for (uint32_t i = 0; i < count; i++) {
        // More subblocks counted than the header holds.
        if (remaining < 2 || body[pos + 1] + 2 > remaining) {
            velkan_fail("VELKAN image header size mismatch");
            return -1;
        }
        int used = subblock_parse(&set->header_subblocks, body + pos, remaining);
        if (used < 0)
            return -1;
        pos += used;
        remaining -= used;
    }
    return 0;
}

// Reads count subblocks into img->subblocks and their bytes into buf, from
// buf + 2 on. The bytes used in buf (2 + the subblocks), or -1.
int read_subimage_subblocks(int fd, int count, subimage *img, uint8_t *buf) {
    int budget = velkan_subimage_budget;
    int used = 2;
    // Every subblock costs its length plus 4 of the budget while it takes its
    // length plus 2 of the buffer, so the buffer cannot overflow.
    for (int i = 0; i < count; i++) {
        if (!velkan_read_exact(fd, buf + used, 2)) {
            velkan_fail_system("read subimage header");
            return -1;
        }
        budget -= 2;
        int len = buf[used + 1];
        if (len + 2 > budget) {
            velkan_fail("VELKAN subblock length mismatch");
            return -1;
        }
        if (!velkan_read_exact(fd, buf + used + 2, static_cast<size_t>(len))) {
            velkan_fail_system("read subimage header");
            return -1;
        }
        int taken = subblock_parse(&img->subblocks, buf + used, budget);
        if (taken < 0)
            return -1;
        budget -= taken;
        used += taken;
    }
    return used;
}

// Reads the subimage header that starts at pos into img; the descriptor ends
// up behind it, at *data_start. 0 or -1.
int read_subimage_header(int fd, uint32_t pos, subimage *img, uint64_t *data_start) {
    uint8_t buf[header_buffer_size];
    if (!velkan_read_exact(fd, buf, 2)) {
        velkan_fail_system("read subimage header");
        return -1;
    }
    if (buf[0] != velkan_subimage_id) {
        velkan_fail("Invalid VELKAN subimage id");
        return -1;
    }
    int used = read_subimage_subblocks(fd, buf[1], img, buf);
    if (used < 0)
        return -1;
    uint32_t subblock_len = static_cast<uint32_t>(used - 2);
    img->subblock_bytes = copy_bytes(buf + 2, subblock_len);
    if (!img->subblock_bytes) {
        error_no_memory(subblock_len ? subblock_len : 1u);
        return -1;
    }
    img->subblock_len = subblock_len;
    uint8_t spare;
    if (!velkan_read_exact(fd, &spare, 1)) {
        velkan_fail_system("read subimage header");
        return -1;
    }
    // Not yet a 32-bit offset: the file may have grown since its size was taken.
    *data_start = uint64_t(pos) + 3 + subblock_len;
    return 0;
}

// The subimage whose header starts at pos, appended to the set's list; the
// descriptor ends up behind its data. 0 or -1.
int read_subimage(int fd, uint32_t pos, const char *path, image_set *set) {
    subimage_owner owner;
    subimage *img = owner.get();
    if (!img) {
        velkan_fail_system("malloc");
        return -1;
    }
    snprintf(img->path, sizeof img->path, "%s", path);
    img->fd = fd;
    img->fd_shared = true;

    uint64_t data_start = 0;
    if (read_subimage_header(fd, pos, img, &data_start) < 0 || read_file_data(img) < 0)
        return -1;
    if (data_start + img->size > set->file_size) {
        velkan_fail("VELKAN subimage data length mismatch");
        return -1;
    }
    // Within the file, whose size fits 32 bits.
    img->data_offset = static_cast<uint32_t>(data_start);
    if (lseek(fd, img->size, SEEK_CUR) < 0) {
        velkan_fail_system(path);
        return -1;
    }
    subimage **tail = &set->subimages;
    while (*tail)
        tail = &(*tail)->next;
    *tail = owner.release();
    return 0;
}

} // namespace

int image_open(image_set *set, const char *path) {
    if (strlen(path) > max_path_len) {
        error("%s: path longer than %u characters", path, static_cast<unsigned>(max_path_len));
        return -1;
    }
    descriptor file(open(path, O_RDONLY));
    if (file.get() < 0) {
        velkan_fail_system(path);
        return -1;
    }
    struct stat st;
    if (fstat(file.get(), &st) < 0) {
        velkan_fail_system("fstat");
        return -1;
    }
    if (static_cast<uint64_t>(st.st_size) > max_file_size) {
        error("%s: container larger than %llu bytes", path,
              static_cast<unsigned long long>(max_file_size));
        return -1;
    }
    set->file_size = static_cast<uint32_t>(st.st_size);
    if (read_file_header(file.get(), set) < 0)
        return -1;
    log_version(set->header_subblocks, "SW version in image: ", "\n");
    for (;;) {
        off_t pos = lseek(file.get(), 0, SEEK_CUR);
        if (pos < 0) {
            velkan_fail_system(path);
            return -1;
        }
        if (static_cast<uint64_t>(pos) >= set->file_size) {
            set->container_fd = file.release();
            set->has_container = true;
            return 0;
        }
        if (read_subimage(file.get(), static_cast<uint32_t>(pos), path, set) < 0)
            return -1;
    }
}

void image_set_free(image_set *set) {
    if (!set)
        return;
    for (subimage *img = set->subimages, *next; img; img = next) {
        next = img->next;
        subimage_free(img);
    }
    subblock_list_free(set->header_subblocks);
    free(set->header_bytes);
    if (set->has_container)
        close(set->container_fd);
    free(set);
}
