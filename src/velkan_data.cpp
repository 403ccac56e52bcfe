// Loose image files, and byte access to the data of every subimage.
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

constexpr size_t max_path_len = sizeof(subimage::path) - 1;
// The checksum reads the data through this much memory at a time.
constexpr uint32_t checksum_chunk = 131072;

// The FILE_DATA subblock of a loose file, with the checksum over its data.
int make_file_data(subimage *img) {
    velkan_file_data fields;
    if (subimage_checksum(img, &fields.checksum) < 0)
        return -1;
    memcpy(fields.name, img->name, sizeof fields.name);
    fields.data_size = img->size;
    uint8_t value[velkan_file_data_len];
    velkan_file_data_encode(&fields, value);
    return subblock_add(&img->subblocks, velkan_type_file_data, velkan_file_data_len, value);
}

} // namespace

int velkan_add_subimage(image_set *set, const char *name, const char *path, subimage **out) {
    subimage_owner owner;
    subimage *img = owner.get();
    VELKAN_CHECK(img != nullptr, "img != ((void *)0)");
    // NUL-padded; a name of 12 characters fills the field without a NUL.
    for (int i = 0; i < velkan_name_width && name[i]; i++)
        img->name[i] = name[i];
    if (strlen(path) > max_path_len) {
        error("%s: path longer than %u characters", path, static_cast<unsigned>(max_path_len));
        return -1;
    }
    memcpy(img->path, path, strlen(path) + 1);

    struct stat st;
    if (stat(path, &st) < 0 || access(path, R_OK) < 0) {
        velkan_fail_system(path);
        return -1;
    }
    // Only a regular file tells its data size: a device or a pipe reports 0
    // and would pass for an empty image.
    if (!S_ISREG(st.st_mode)) {
        error("%s: %s", path, S_ISDIR(st.st_mode) ? strerror(EISDIR) : "not a regular file");
        return -1;
    }
    if (static_cast<uint64_t>(st.st_size) > velkan_max_data_size) {
        error("%s: image larger than %llu bytes", path,
              static_cast<unsigned long long>(velkan_max_data_size));
        return -1;
    }
    img->data_size = static_cast<uint32_t>(st.st_size);
    img->size = velkan_round_up(img->data_size);
    img->data_offset = 0;
    if (make_file_data(img) < 0)
        return -1;
    img->next = set->subimages;
    set->subimages = owner.release();
    if (out)
        *out = img;
    return 0;
}

int subimage_checksum(subimage *img, uint16_t *result) {
    uint16_t sum = 0;
    byte_buffer chunk(img->size > 0 ? checksum_chunk : 0);
    if (img->size > 0 && !chunk.get()) {
        velkan_fail_system("malloc");
        return -1;
    }
    for (uint32_t pos = 0; pos < img->size;) {
        uint32_t len = img->size - pos < checksum_chunk ? img->size - pos : checksum_chunk;
        if (velkan_read_bytes(img, pos, chunk.get(), len) < 0)
            return -1;
        sum ^= xor_words16(chunk.get(), len);
        pos += len;
    }
    *result = sum;
    return 0;
}

uint16_t xor_words16(const uint8_t *bytes, uint32_t count) {
    uint16_t sum = 0;
    for (uint32_t i = 0; i + 1 < count; i += 2)
        sum ^= static_cast<uint16_t>(bytes[i] | bytes[i + 1] << 8);
    return sum;
}

int velkan_read_bytes(subimage *img, uint32_t offset, void *buf, uint32_t count) {
    VELKAN_CHECK(uint64_t(offset) + count <= img->size, "offset + count <= img->size");
    if (img->fd < 0) {
        img->fd = open(img->path, O_RDONLY);
        if (img->fd < 0) {
            velkan_fail_system(img->path);
            return -1;
        }
    }
    if (lseek(img->fd, off_t(img->data_offset) + off_t(offset), SEEK_SET) < 0) {
        velkan_fail_system(img->path);
        return -1;
    }
    // The part below data_size comes from the file, the rest is filler.
    uint32_t from_file = 0;
    if (offset < img->data_size)
        from_file = img->data_size - offset < count ? img->data_size - offset : count;
    uint8_t *bytes = static_cast<uint8_t *>(buf);
    if (from_file > 0 && !velkan_read_exact(img->fd, bytes, from_file)) {
        velkan_fail_system(img->path);
        return -1;
    }
    memset(bytes + from_file, 0xFF, count - from_file);
    return 0;
}
