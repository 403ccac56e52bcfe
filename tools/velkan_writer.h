// Builds VELKAN firmware containers in memory, for the packing tool and the
// tests. The low-level functions encode exactly what they are given, so that
// malformed containers can be made too; `image` and `container` check the
// limits of the format and throw std::invalid_argument when one is broken.
#pragma once

#include "velkan_format.h"

#include <sodium.h>

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

namespace velkan_writer {

using bytes = std::string;

bytes be16(uint16_t value);
bytes be32(uint32_t value);

// Type, length, value. The value must not exceed 255 bytes.
bytes subblock(uint8_t type, const bytes &value);
// data followed by 0xFF up to the next multiple of 128.
bytes padded(const bytes &data);
// The 0xFF filler that follows data of this size.
bytes filler(uint64_t data_size);
// Exclusive-or of the little-endian 16-bit words of padded(data).
uint16_t checksum(const bytes &data);

// What an image header says about its data: the data size, and the checksum
// and CRC-32 of the data with its filler.
struct data_summary {
    uint64_t size = 0;
    uint16_t checksum = 0;
    uint32_t crc = 0;
    bytes sha512; // the digest a signed container gives
};
// Summarises data that comes in pieces.
class data_digest {
  public:
    void add(const char *piece, size_t count);
    // The bytes added so far.
    uint64_t size() const {
        return sum_.size;
    }
    // The summary of everything added, with the filler.
    data_summary finish() const;

  private:
    data_summary sum_;
    crypto_hash_sha512_state sha_ = sha512_start();
    static crypto_hash_sha512_state sha512_start();
};
data_summary summarize(const bytes &data);

// FILE_DATA value: 01 01 00, checksum, name (NUL-padded to 12), data size, 0.
bytes file_data_value(const std::string &name, uint32_t data_size, uint16_t checksum);
// Product / HW rev value: product NUL-padded to 16, each HW build to 8.
bytes valid_for_value(const std::string &product, const std::vector<std::string> &hw_builds);

struct partition {
    uint8_t type;
    uint8_t mode;
    uint32_t size;
};
// Partition value: 11 zero bytes, the entry count, the entries.
bytes partitions_value(const std::vector<partition> &entries);
// Extent value: the number of images, then the file's length.
bytes extent_value(uint32_t images, uint32_t file_length);
// The offset of the first signature subblock's value in a container's bytes,
// or 0 when its file header has none.
size_t signature_offset(const bytes &container_bytes);

// File header: B4, body length, subblock count, subblocks, trailing bytes.
bytes file_header(const std::vector<bytes> &subblocks, const bytes &trailing = {});
// The same with a count of one's own choosing.
bytes file_header(uint32_t count, const bytes &body);
// Subimage header: 'T', count, subblocks, then the spare byte.
bytes subimage_header(const std::vector<bytes> &subblocks, uint8_t spare = 0);

struct valid_for {
    std::string product;
    std::vector<std::string> hw_builds; // empty: every HW build of the product
};

// One component image with the usual subblocks, in this order: FILE_DATA,
// version, product / HW rev lists, partitions, CRC-32 (unless crc32 is false),
// extra (already encoded).
struct image {
    image() = default;
    image(std::string image_name, bytes image_data)
        : name(std::move(image_name)), data(std::move(image_data)) {}

    std::string name;
    bytes data;
    std::string version; // empty: no version subblock
    std::vector<valid_for> valid;
    std::vector<partition> partitions; // empty: no partition subblock
    std::vector<bytes> extra;
    // FILE_DATA normally gives the size with the filler, a multiple of 128;
    // true gives the real data size instead (a reader warns about it).
    bool exact_size = false;
    // A digest subblock after the CRC-32, as a signed container has.
    bool digest = false;

    std::vector<bytes> subblocks(bool crc32 = true) const;
    // The same for data of which only the summary is known.
    std::vector<bytes> subblocks(const data_summary &data_sum, bool crc32 = true) const;
    // The header alone.
    bytes header(const data_summary &data_sum, bool crc32 = true) const;
    // Header and padded data area.
    bytes encode(bool crc32 = true) const;
};

// A file header of these subblocks: the release version, the extent (when
// integrity is true), extra_header; then each image with its CRC-32 (when
// integrity is true). integrity false gives a container as older writers made
// it. signable adds an empty signature slot after the extent and a digest to
// every image.
struct container {
    std::string release; // empty: no version subblock
    std::vector<bytes> extra_header;
    std::vector<image> images;
    bool integrity = true;
    bool signable = false;

    // The file header for a file of this length (the length of the header
    // does not depend on it).
    bytes header(uint64_t file_length) const;
    bytes encode() const;
};

// Writes the bytes to a file; throws std::runtime_error on failure.
void write_file(const std::string &path, const bytes &content);
// Reads a whole file; throws std::runtime_error on failure.
bytes read_file(const std::string &path);

} // namespace velkan_writer
