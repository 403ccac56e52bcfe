#include "velkan_format.h"

#include <stdio.h>
#include <string.h>

namespace {

// Partition subblock: the entry count, then the entries.
constexpr int partition_count_at = 11;
constexpr int partition_entries_at = 15;
constexpr int partition_entry_size = 6;
// The shortest partition subblock that holds an entry.
constexpr int partition_min_len = 21;

// FILE_DATA subblock: the fields within it.
constexpr int file_data_checksum_at = 3;
constexpr int file_data_name_at = 5;
constexpr int file_data_size_at = 17;

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

uint32_t velkan_round_up(uint32_t data_size) {
    return (data_size + (velkan_data_alignment - 1)) & ~(velkan_data_alignment - 1);
}

bool velkan_file_data_decode(const subblock *sb, velkan_file_data *out) {
    if (sb->len != velkan_file_data_len)
        return false;
    out->checksum = get_be16(sb->data + file_data_checksum_at);
    memcpy(out->name, sb->data + file_data_name_at, velkan_name_width);
    out->data_size = get_be32(sb->data + file_data_size_at);
    return true;
}

void velkan_file_data_encode(const velkan_file_data *in, uint8_t (&value)[velkan_file_data_len]) {
    memset(value, 0, sizeof value);
    value[0] = 1;
    value[1] = 1;
    put_be16(value + file_data_checksum_at, in->checksum);
    memcpy(value + file_data_name_at, in->name, velkan_name_width);
    put_be32(value + file_data_size_at, in->data_size);
}

int velkan_valid_for_builds(const subblock *sb) {
    if (sb->len < velkan_product_width)
        return -1;
    return (sb->len - velkan_product_width) / velkan_hw_build_width;
}

bool velkan_valid_for_whole(const subblock *sb) {
    return sb->len >= velkan_product_width &&
           (sb->len - velkan_product_width) % velkan_hw_build_width == 0;
}

const char *velkan_valid_for_product(const subblock *sb) {
    return reinterpret_cast<const char *>(sb->data);
}

const char *velkan_valid_for_build(const subblock *sb, int i) {
    return reinterpret_cast<const char *>(sb->data + velkan_product_width +
                                          i * velkan_hw_build_width);
}

int64_t velkan_partition_count(const subblock *sb) {
    if (sb->len < partition_min_len)
        return velkan_partitions_no_size;
    uint32_t entries = get_be32(sb->data + partition_count_at);
    if (sb->len != partition_entries_at + partition_entry_size * uint64_t(entries))
        return velkan_partitions_bad_length;
    return entries;
}

velkan_partition velkan_partition_at(const subblock *sb, uint32_t i) {
    const uint8_t *entry = sb->data + partition_entries_at + partition_entry_size * i;
    return {entry[0], entry[1], get_be32(entry + 2)};
}

const char *velkan_printable(const void *field, size_t width, char *out, size_t out_size) {
    const auto *text = static_cast<const uint8_t *>(field);
    size_t at = 0;
    for (size_t i = 0; i < width && text[i] && at + 5 <= out_size; i++) {
        if (text[i] < 0x20 || text[i] == 0x7F)
            at += static_cast<size_t>(snprintf(out + at, out_size - at, "\\x%02x", text[i]));
        else
            out[at++] = static_cast<char>(text[i]);
    }
    if (out_size > 0)
        out[at] = 0;
    return out;
}

bool velkan_crc32_decode(const subblock *sb, uint32_t *crc) {
    if (sb->len != velkan_crc32_len)
        return false;
    *crc = get_be32(sb->data);
    return true;
}

bool velkan_extent_decode(const subblock *sb, uint32_t *images, uint32_t *file_length) {
    if (sb->len != velkan_extent_len)
        return false;
    *images = get_be32(sb->data);
    *file_length = get_be32(sb->data + 4);
    return true;
}

velkan_signature_state velkan_signature_decode(const subblock *sb, velkan_signature *out) {
    if (sb->len != velkan_signature_len)
        return velkan_signature_state::malformed;
    bool empty = true;
    for (int i = 0; i < sb->len; i++)
        empty = empty && sb->data[i] == 0;
    if (empty)
        return velkan_signature_state::empty;
    if (memcmp(sb->data, velkan_signature_algorithm, 2) != 0)
        return velkan_signature_state::malformed;
    memcpy(out->key_id, sb->data + 2, velkan_key_id_len);
    memcpy(out->ed25519, sb->data + 2 + velkan_key_id_len, velkan_ed25519_len);
    return velkan_signature_state::signed_;
}

const uint8_t *velkan_digest_decode(const subblock *sb) {
    return sb->len == velkan_digest_len ? sb->data : nullptr;
}
