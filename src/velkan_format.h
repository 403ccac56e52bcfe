// The VELKAN container format: its byte codes, field widths and the decoders
// of its subblocks, for every reader of the format (the flasher and
// velkan-pack alike). Every multi-byte number of the format is big-endian.
#pragma once

#include <stddef.h>
#include <stdint.h>

// One type-length-value record of a header.
struct subblock {
    uint8_t type;
    uint8_t len;
    uint8_t *data; // owned copy of len bytes
    subblock *next;
};

// The first byte of a container, and of each subimage header.
constexpr uint8_t velkan_file_header_byte = 0xB4;
constexpr uint8_t velkan_subimage_id = 'T';

// Subblock types that readers interpret; others are kept as they are.
constexpr int velkan_type_file_data = '.';
constexpr int velkan_type_version = '1';
constexpr int velkan_type_valid_for = '2';
constexpr int velkan_type_partitions = '/';
// Integrity: an image's CRC-32 over its data and filler, and in the file
// header the number of images and the file's length. Readers that do not know
// them keep them uninterpreted, as every unknown type.
constexpr int velkan_type_crc32 = 'C';
constexpr int velkan_type_extent = 'E';

// Text fields, NUL-padded and not terminated when full.
constexpr int velkan_name_width = 12;
constexpr int velkan_product_width = 16;
constexpr int velkan_hw_build_width = 8;

// Data areas are a multiple of this, filled up with 0xFF.
constexpr uint32_t velkan_data_alignment = 128;
// The largest data size whose rounded size still fits 32 bits.
constexpr uint64_t velkan_max_data_size = 0xFFFFFFFFu & ~uint64_t(velkan_data_alignment - 1);

uint16_t get_be16(const uint8_t *bytes);
uint32_t get_be32(const uint8_t *bytes);
void put_be16(uint8_t *bytes, uint16_t value);
void put_be32(uint8_t *bytes, uint32_t value);

// data_size rounded up to the data alignment; data_size at most velkan_max_data_size.
uint32_t velkan_round_up(uint32_t data_size);

// Header limits: a file header of at most this many bytes in all, and a
// subimage header whose subblocks cost their encoded length plus 2 each.
constexpr uint32_t velkan_file_header_max = 512;
constexpr int velkan_subimage_budget = 510;
// The largest value of a subblock.
constexpr int velkan_max_value_len = 255;

// The FILE_DATA subblock: checksum, name and data size of an image.
constexpr uint8_t velkan_file_data_len = 25;
struct velkan_file_data {
    uint16_t checksum;
    char name[velkan_name_width]; // NUL-padded, not always terminated
    uint32_t data_size;
};
// False when the subblock does not have the FILE_DATA length.
bool velkan_file_data_decode(const subblock *sb, velkan_file_data *out);
void velkan_file_data_encode(const velkan_file_data *in, uint8_t (&value)[velkan_file_data_len]);

// A valid-for subblock: a product code, then any number of HW builds.
// The number of whole HW build entries, or -1 when the subblock is shorter
// than a product code.
int velkan_valid_for_builds(const subblock *sb);
// True when the subblock is a product code and whole HW build entries only.
bool velkan_valid_for_whole(const subblock *sb);
// The product code (velkan_product_width bytes).
const char *velkan_valid_for_product(const subblock *sb);
// HW build entry i (velkan_hw_build_width bytes), below velkan_valid_for_builds.
const char *velkan_valid_for_build(const subblock *sb, int i);

// A partition subblock: entries of type, flash mode and size.
struct velkan_partition {
    uint8_t type;
    uint8_t mode;
    uint32_t size;
};
// What velkan_partition_count answers for a subblock that is not well-formed.
constexpr int64_t velkan_partitions_no_size = -1;    // too short for any entry
constexpr int64_t velkan_partitions_bad_length = -2; // length and count disagree
// The number of entries of a well-formed partition subblock, or one of the two above.
int64_t velkan_partition_count(const subblock *sb);
// Entry i, below the count.
velkan_partition velkan_partition_at(const subblock *sb, uint32_t i);

// A text field of the container (up to its first NUL, width bytes at most) as
// it may be printed: control characters (below 0x20, and 0x7F) as \xNN, every
// other byte as it stands. out takes velkan_printable_size(width) bytes; the
// result is out.
constexpr size_t velkan_printable_size(size_t width) {
    return 4 * width + 1;
}
const char *velkan_printable(const void *field, size_t width, char *out, size_t out_size);

// A CRC-32 subblock: 4 bytes. False when it has another length.
constexpr uint8_t velkan_crc32_len = 4;
bool velkan_crc32_decode(const subblock *sb, uint32_t *crc);
// An extent subblock: the number of images, then the file's length, 4 bytes
// each. False when it has another length.
constexpr uint8_t velkan_extent_len = 8;
bool velkan_extent_decode(const subblock *sb, uint32_t *images, uint32_t *file_length);

// Signing. An image's SHA-512 digest of its data and filler; in the file
// header, the signature of the container's manifest in signify's binary form:
// "Ed", the signing key's number, the Ed25519 signature. A signature subblock
// of zero bytes only is a slot that no one has signed yet. Readers that do not
// know them keep them uninterpreted, as every unknown type.
constexpr int velkan_type_digest = 'D';
constexpr int velkan_type_signature = 'S';
constexpr uint8_t velkan_digest_len = 64;
constexpr int velkan_key_id_len = 8;
constexpr int velkan_ed25519_len = 64;
constexpr uint8_t velkan_signature_len = 2 + velkan_key_id_len + velkan_ed25519_len;
// The signature algorithm's two bytes, as signify writes them.
constexpr char velkan_signature_algorithm[] = "Ed";

struct velkan_signature {
    uint8_t key_id[velkan_key_id_len];
    uint8_t ed25519[velkan_ed25519_len];
};
enum class velkan_signature_state { signed_, empty, malformed };
velkan_signature_state velkan_signature_decode(const subblock *sb, velkan_signature *out);
// The digest's bytes, or null when the subblock has another length.
const uint8_t *velkan_digest_decode(const subblock *sb);

// The manifest that the signature covers: this tag (with its NUL), then the
// file header and each image header of the container in file order, each as
// its number of subblocks and their length in bytes (32 bits each), then
// the subblocks as they stand (type, length, value). The file header's first
// signature subblock is left out.
constexpr char velkan_manifest_tag[] = "VELKAN signed manifest 1";
