#include "velkan.h"

#include "ident.h"
#include "log.h"
#include "owners.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Byte codes of the container format.
constexpr uint8_t file_header_byte = 0xB4;
constexpr uint8_t subimage_id = 'T';
constexpr int type_file_data = '.';
constexpr int type_version = '1';
constexpr int type_valid_for = '2';
constexpr int type_partitions = '/';

constexpr uint32_t header_buffer_size = 512;
// The subblocks of a subimage header are charged their length plus 4.
constexpr int subimage_budget = 510;
constexpr uint8_t file_data_len = 25;
constexpr uint32_t data_alignment = 128;
constexpr uint32_t checksum_chunk = 131072;

constexpr int name_width = 12;
constexpr int product_width = 16;
constexpr int hw_build_width = 8;

constexpr size_t max_path_len = sizeof(subimage::path) - 1;
// Sizes are 32-bit: a file must fit them, and a data size its rounded size.
constexpr uint64_t max_file_size = 0xFFFFFFFFu;
constexpr uint64_t max_data_size = 0xFFFFFFFFu & ~uint64_t(data_alignment - 1);

// Stops the program in the format of a failed assertion, in every build type.
[[noreturn]] void check_failed(const char *text, unsigned line, const char *function) {
    fflush(stdout);
    fprintf(stderr, "velkan-flasher: velkan:%u: %s: Assertion `%s' failed.\n", line, function,
            text);
    abort();
}

#define VELKAN_CHECK(condition, text)                                                              \
    do {                                                                                           \
        if (!(condition))                                                                          \
            check_failed(text, __LINE__, __func__);                                                \
    } while (0)

// One read of exactly count bytes. A short read at the end of the file leaves
// errno at 0, so perror never repeats an older, unrelated error.
bool read_exact(int fd, void *buf, size_t count) {
    errno = 0;
    ssize_t got = read(fd, buf, count);
    return got >= 0 && static_cast<size_t>(got) == count;
}

uint32_t round_up(uint32_t data_size) {
    return (data_size + (data_alignment - 1)) & ~(data_alignment - 1);
}

void free_subblocks(subblock *list) {
    while (list) {
        subblock *next = list->next;
        free(list->data);
        free(list);
        list = next;
    }
}

// Releases a subimage that never made it into a list.
void free_subimage(subimage *img) {
    if (img->fd >= 0)
        close(img->fd);
    free_subblocks(img->subblocks);
    free(img->subblock_bytes);
    free(img);
}

// A copy of count bytes (at least one byte is allocated, so that an empty copy
// is not mistaken for a failure), or null.
uint8_t *copy_bytes(const uint8_t *src, uint32_t count) {
    uint8_t *copy = static_cast<uint8_t *>(malloc(count ? count : 1));
    if (copy && count)
        memcpy(copy, src, count);
    return copy;
}

// The value of a string subblock with a terminating NUL.
void value_string(const subblock *sb, char (&text)[256]) {
    memcpy(text, sb->data, sb->len);
    text[sb->len] = 0;
}

} // namespace

uint16_t get_be16(const uint8_t *bytes) {
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

uint32_t get_be32(const uint8_t *bytes) {
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 |
           uint32_t(bytes[3]);
}

void put_be16(uint8_t *bytes, uint16_t value) {
    bytes[0] = static_cast<uint8_t>(value >> 8);
    bytes[1] = static_cast<uint8_t>(value);
}

void put_be32(uint8_t *bytes, uint32_t value) {
    bytes[0] = static_cast<uint8_t>(value >> 24);
    bytes[1] = static_cast<uint8_t>(value >> 16);
    bytes[2] = static_cast<uint8_t>(value >> 8);
    bytes[3] = static_cast<uint8_t>(value);
}

// ---- Subblock lists ----

int subblock_add(subblock **list, int type, int len, const void *src) {
    if (len < 0 || len > 255)
        return -1;
    subblock **tail = list;
    while (*tail)
        tail = &(*tail)->next;
    subblock *sb = static_cast<subblock *>(calloc(1, sizeof(subblock)));
    if (!sb) {
        error_no_memory(sizeof(subblock));
        return -12;
    }
    sb->type = static_cast<uint8_t>(type);
    sb->len = static_cast<uint8_t>(len);
    sb->data = copy_bytes(static_cast<const uint8_t *>(src), static_cast<uint32_t>(len));
    if (!sb->data) {
        error_no_memory(len ? static_cast<unsigned>(len) : 1u);
        free(sb);
        return -1;
    }
    *tail = sb;
    return 0;
}

int subblock_parse(subblock **list, const uint8_t *bytes, int remaining) {
    if (remaining < 2)
        return -1;
    int type = bytes[0];
    int len = bytes[1];
    if (len + 2 > remaining)
        return -1;
    if (subblock_add(list, type, len, bytes + 2) < 0)
        return -1;
    return len + 2;
}

subblock *subblock_find(subblock *list, int type, int n) {
    for (subblock *sb = list; sb; sb = sb->next) {
        if (sb->type != type)
            continue;
        if (n == 0)
            return sb;
        n--;
    }
    return nullptr;
}

// ---- Container reader ----

int image_open(image_set *set, const char *path) {
    if (strlen(path) > max_path_len) {
        error("%s: path longer than %u characters", path, static_cast<unsigned>(max_path_len));
        return -1;
    }
    descriptor file(open(path, O_RDONLY));
    if (file.get() < 0) {
        perror(path);
        return -1;
    }
    struct stat st;
    if (fstat(file.get(), &st) < 0) {
        perror("fstat");
        return -1;
    }
    if (static_cast<uint64_t>(st.st_size) > max_file_size) {
        error("%s: container larger than %llu bytes", path,
              static_cast<unsigned long long>(max_file_size));
        return -1;
    }
    set->file_size = static_cast<uint32_t>(st.st_size);
    if (image_read_header(file.get(), set) < 0)
        return -1;
    image_log_sw_version(set);
    for (;;) {
        off_t pos = lseek(file.get(), 0, SEEK_CUR);
        if (pos < 0) {
            perror(path);
            return -1;
        }
        if (static_cast<uint64_t>(pos) >= set->file_size)
            return 0;
        if (image_read_subimage(file.get(), static_cast<uint32_t>(pos), path, set) < 0)
            return -1;
    }
}

int image_read_header(int fd, image_set *set) {
    uint8_t buf[header_buffer_size];
    if (!read_exact(fd, buf, 5)) {
        perror("Error reading VELKAN header");
        return -1;
    }
    if (buf[0] != file_header_byte) {
        fputs("Invalid VELKAN file header\n", stderr);
        return -1;
    }
    uint32_t len = get_be32(buf + 1);
    // The body holds at least the subblock count.
    if (len < 4 || uint64_t(5) + len > header_buffer_size || uint64_t(5) + len > set->file_size) {
        fputs("VELKAN image header size mismatch\n", stderr);
        return -1;
    }
    if (!read_exact(fd, buf + 5, len)) {
        perror("Error reading VELKAN header");
        return -1;
    }
    uint32_t count = get_be32(buf + 5);
    const uint8_t *body = buf + 9;
    uint32_t body_len = len - 4;
    set->header_bytes = copy_bytes(body, body_len);
    if (!set->header_bytes) {
        perror("malloc");
        return -1;
    }
    set->header_len = body_len;
    int pos = 0;
    int remaining = static_cast<int>(body_len);
    for (uint32_t i = 0; i < count; i++) {
        // More subblocks counted than the header holds.
        if (remaining < 2 || body[pos + 1] + 2 > remaining) {
            fputs("VELKAN image header size mismatch\n", stderr);
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

void image_log_sw_version(image_set *set) {
    subblock *sb = subblock_find(set->header_subblocks, type_version, 0);
    if (!sb)
        return;
    char version[256];
    value_string(sb, version);
    log_printf(1, "SW version in image: %s\n", version);
}

namespace {

// Reads the subimage header that starts at pos into img; the descriptor ends
// up behind it, at *data_start. 0 or -1.
int read_subimage_header(int fd, uint32_t pos, subimage *img, uint64_t *data_start) {
    uint8_t buf[header_buffer_size];
    if (!read_exact(fd, buf, 2)) {
        perror("read subimage header");
        return -1;
    }
    if (buf[0] != subimage_id) {
        fputs("Invalid VELKAN subimage id\n", stderr);
        return -1;
    }
    int count = buf[1];
    int budget = subimage_budget;
    int used = 2;
    // Every subblock costs its length plus 4 of the budget while it takes its
    // length plus 2 of the buffer, so the buffer cannot overflow.
    for (int i = 0; i < count; i++) {
        if (!read_exact(fd, buf + used, 2)) {
            perror("read subimage header");
            return -1;
        }
        budget -= 2;
        int len = buf[used + 1];
        if (len + 2 > budget) {
            fputs("VELKAN subblock length mismatch\n", stderr);
            return -1;
        }
        if (!read_exact(fd, buf + used + 2, static_cast<size_t>(len))) {
            perror("read subimage header");
            return -1;
        }
        int taken = subblock_parse(&img->subblocks, buf + used, budget);
        if (taken < 0)
            return -1;
        budget -= taken;
        used += taken;
    }
    uint32_t subblock_len = static_cast<uint32_t>(used - 2);
    img->subblock_bytes = copy_bytes(buf + 2, subblock_len);
    if (!img->subblock_bytes) {
        error_no_memory(subblock_len ? subblock_len : 1u);
        return -1;
    }
    img->subblock_len = subblock_len;
    uint8_t spare;
    if (!read_exact(fd, &spare, 1)) {
        perror("read subimage header");
        return -1;
    }
    // Not yet a 32-bit offset: the file may have grown since its size was taken.
    *data_start = uint64_t(pos) + 3 + subblock_len;
    return 0;
}

} // namespace

int image_read_subimage(int fd, uint32_t pos, const char *path, image_set *set) {
    subimage *img = static_cast<subimage *>(calloc(1, sizeof(subimage)));
    if (!img) {
        perror("malloc");
        return -1;
    }
    img->fd = -1;
    snprintf(img->path, sizeof img->path, "%s", path);

    uint64_t data_start = 0;
    if (read_subimage_header(fd, pos, img, &data_start) < 0 || subimage_read_file_data(img) < 0) {
        free_subimage(img);
        return -1;
    }
    if (data_start + img->size > set->file_size) {
        fputs("VELKAN subimage data length mismatch\n", stderr);
        free_subimage(img);
        return -1;
    }
    // Within the file, whose size fits 32 bits.
    img->data_offset = static_cast<uint32_t>(data_start);
    if (lseek(fd, img->size, SEEK_CUR) < 0) {
        perror(path);
        free_subimage(img);
        return -1;
    }
    subimage **tail = &set->subimages;
    while (*tail)
        tail = &(*tail)->next;
    *tail = img;
    return 0;
}

int subimage_read_file_data(subimage *img) {
    subblock *sb = subblock_find(img->subblocks, type_file_data, 0);
    if (!sb) {
        fputs("VELKAN file data subblock not found\n", stderr);
        return -1;
    }
    if (sb->len != file_data_len) {
        fputs("VELKAN file data subblock length mismatch\n", stderr);
        return -1;
    }
    img->checksum = get_be16(sb->data + 3);
    memcpy(img->name, sb->data + 5, name_width);
    img->data_size = get_be32(sb->data + 17);
    // The rounded size must stay a 32-bit number; no file holds such data anyway.
    if (img->data_size > max_data_size) {
        fputs("VELKAN subimage data length mismatch\n", stderr);
        return -1;
    }
    img->size = img->data_size;
    if (img->size % data_alignment) {
        fprintf(stderr, "WARNING: Image '%.12s' not aligned\n", img->name);
        img->size = round_up(img->size);
    }
    log_printf(1, "Image '%.12s', size %u bytes", img->name, img->size);
    subimage_log_valid_for(img);
    subimage_log_version(img);
    subblock *partitions = subblock_find(img->subblocks, type_partitions, 0);
    if (partitions)
        subimage_log_partitions(partitions);
    return 0;
}

void subimage_log_valid_for(subimage *img) {
    for (int n = 0;; n++) {
        subblock *sb = subblock_find(img->subblocks, type_valid_for, n);
        if (!sb)
            return;
        if (sb->len < product_width) {
            fputs("Invalid VELKAN product / HW rev subblock\n", stderr);
            return;
        }
        // At most 16 + 29 * (2 + 8) characters.
        char line[512];
        int at = snprintf(line, sizeof line, "%.16s", reinterpret_cast<const char *>(sb->data));
        int entries = (sb->len - product_width) / hw_build_width;
        for (int i = 0; i < entries; i++) {
            const char *entry =
                reinterpret_cast<const char *>(sb->data + product_width + i * hw_build_width);
            at += snprintf(line + at, sizeof line - static_cast<size_t>(at), "%s%.8s",
                           i == 0 ? ": " : ", ", entry);
        }
        log_printf(1, "\tValid for %s", line);
    }
}

void subimage_log_version(subimage *img) {
    subblock *sb = subblock_find(img->subblocks, type_version, 0);
    if (!sb)
        return;
    char version[256];
    value_string(sb, version);
    log_printf(1, "\tVersion %s", version);
}

void subimage_log_partitions(subblock *partitions) {
    if (partitions->len <= 20) {
        error("Bad partition subblock, no size for partition data");
        return;
    }
    uint32_t entries = get_be32(partitions->data + 11);
    if (partitions->len != 15 + 6 * uint64_t(entries)) {
        error("Bad partition subblock, length mismatch");
        return;
    }
    for (uint32_t i = 0; i < entries; i++) {
        const uint8_t *entry = partitions->data + 15 + 6 * i;
        log_printf(3, "Partition: type %d, flash mode %d, size %d", entry[0], entry[1],
                   static_cast<int32_t>(get_be32(entry + 2)));
    }
}

// ---- Loose image files and data access ----

int velkan_add_subimage(image_set *set, const char *name, const char *path, subimage **out) {
    subimage *img = static_cast<subimage *>(calloc(1, sizeof(subimage)));
    VELKAN_CHECK(img != nullptr, "img != ((void *)0)");
    img->fd = -1;
    // NUL-padded; a name of 12 characters fills the field without a NUL.
    for (int i = 0; i < name_width && name[i]; i++)
        img->name[i] = name[i];
    if (strlen(path) > max_path_len) {
        error("%s: path longer than %u characters", path, static_cast<unsigned>(max_path_len));
        free_subimage(img);
        return -1;
    }
    memcpy(img->path, path, strlen(path) + 1);

    struct stat st;
    if (stat(path, &st) < 0 || access(path, R_OK) < 0) {
        perror(path);
        free_subimage(img);
        return -1;
    }
    // Only a regular file tells its data size: a device or a pipe reports 0
    // and would pass for an empty image.
    if (!S_ISREG(st.st_mode)) {
        error("%s: %s", path, S_ISDIR(st.st_mode) ? strerror(EISDIR) : "not a regular file");
        free_subimage(img);
        return -1;
    }
    if (static_cast<uint64_t>(st.st_size) > max_data_size) {
        error("%s: image larger than %llu bytes", path,
              static_cast<unsigned long long>(max_data_size));
        free_subimage(img);
        return -1;
    }
    img->data_size = static_cast<uint32_t>(st.st_size);
    img->size = round_up(img->data_size);
    img->data_offset = 0;
    if (subimage_make_file_data(img) < 0) {
        free_subimage(img);
        return -1;
    }
    img->next = set->subimages;
    set->subimages = img;
    if (out)
        *out = img;
    return 0;
}

int subimage_make_file_data(subimage *img) {
    uint8_t value[file_data_len] = {1, 1, 0};
    uint16_t checksum;
    if (subimage_checksum(img, &checksum) < 0)
        return -1;
    put_be16(value + 3, checksum);
    memcpy(value + 5, img->name, name_width);
    put_be32(value + 17, img->size);
    put_be32(value + 21, 0);
    return subimage_add_subblock(img, type_file_data, file_data_len, value);
}

int subimage_checksum(subimage *img, uint16_t *result) {
    uint16_t sum = 0;
    uint8_t *chunk = nullptr;
    if (img->size > 0) {
        chunk = static_cast<uint8_t *>(malloc(checksum_chunk));
        if (!chunk) {
            perror("malloc");
            return -1;
        }
    }
    for (uint32_t pos = 0; pos < img->size;) {
        uint32_t len = img->size - pos < checksum_chunk ? img->size - pos : checksum_chunk;
        if (velkan_read_bytes(img, pos, chunk, len) < 0) {
            free(chunk);
            return -1;
        }
        sum ^= xor_words16(chunk, len);
        pos += len;
    }
    free(chunk);
    *result = sum;
    return 0;
}

uint16_t xor_words16(const uint8_t *bytes, uint32_t count) {
    uint16_t sum = 0;
    for (uint32_t i = 0; i + 1 < count; i += 2)
        sum ^= static_cast<uint16_t>(bytes[i] | bytes[i + 1] << 8);
    return sum;
}

int subimage_add_subblock(subimage *img, int type, int len, const void *bytes) {
    return subblock_add(&img->subblocks, type, len, bytes);
}

int velkan_read_bytes(subimage *img, uint32_t offset, void *buf, uint32_t count) {
    VELKAN_CHECK(uint64_t(offset) + count <= img->size, "offset + count <= img->size");
    if (img->fd < 0) {
        img->fd = open(img->path, O_RDONLY);
        if (img->fd < 0) {
            perror(img->path);
            return -1;
        }
    }
    if (lseek(img->fd, off_t(img->data_offset) + off_t(offset), SEEK_SET) < 0) {
        perror(img->path);
        return -1;
    }
    // The part below data_size comes from the file, the rest is filler.
    uint32_t from_file = 0;
    if (offset < img->data_size)
        from_file = img->data_size - offset < count ? img->data_size - offset : count;
    uint8_t *bytes = static_cast<uint8_t *>(buf);
    if (from_file > 0 && !read_exact(img->fd, bytes, from_file)) {
        perror(img->path);
        return -1;
    }
    memset(bytes + from_file, 0xFF, count - from_file);
    return 0;
}

// ---- Component selection ----

subimage *image_find_component(image_set *set, const hw_ident *ident, const char *name) {
    for (subimage *img = set->subimages; img; img = img->next) {
        if (strncmp(img->name, name, name_width) != 0)
            continue;
        if (!ident)
            return img;
        if (!subblock_find(img->subblocks, type_valid_for, 0))
            return img;
        if (!ident->product)
            return nullptr;
        for (int n = 0;; n++) {
            subblock *sb = subblock_find(img->subblocks, type_valid_for, n);
            if (!sb)
                break;
            if (sb->len < product_width) {
                fputs("Invalid VELKAN product / HW rev subblock\n", stderr);
                return nullptr;
            }
            const char *data = reinterpret_cast<const char *>(sb->data);
            if (strncmp(data, ident->product, product_width) != 0)
                continue;
            if (sb->len == product_width)
                return img;
            if (!ident->hw_build)
                continue;
            for (int at = product_width; at < sb->len; at += hw_build_width) {
                if (sb->len - at < hw_build_width) {
                    fputs("Invalid VELKAN product / HW rev subblock\n", stderr);
                    return nullptr;
                }
                if (strncmp(data + at, ident->hw_build, hw_build_width) == 0)
                    return img;
            }
        }
    }
    return nullptr;
}
