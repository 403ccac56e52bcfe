#include "velkan_writer.h"

#include "crc32.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <stdexcept>

namespace velkan_writer {

namespace {

// The file header's body: at most the header less its first 5 bytes.
constexpr size_t max_header_body = velkan_file_header_max - 5;
constexpr size_t max_value = velkan_max_value_len;

[[noreturn]] void refuse(const std::string &what) {
    throw std::invalid_argument(what);
}

// A text field of the format: at most width bytes, no NUL inside.
void check_field(const std::string &text, size_t width, const char *what) {
    if (text.empty())
        refuse(std::string("empty ") + what);
    if (text.size() > width)
        refuse(std::string(what) + " '" + text + "' longer than " + std::to_string(width) +
               " bytes");
    if (text.find('\0') != std::string::npos)
        refuse(std::string(what) + " holds a NUL character");
}

bytes nul_padded(const std::string &text, size_t width) {
    bytes field = text.substr(0, width);
    field.resize(width, '\0');
    return field;
}

size_t filler_after(uint64_t size) {
    return static_cast<size_t>((velkan_data_alignment - size % velkan_data_alignment) %
                               velkan_data_alignment);
}

} // namespace

bytes be16(uint16_t value) {
    bytes b(2, '\0');
    b[0] = static_cast<char>(value >> 8);
    b[1] = static_cast<char>(value);
    return b;
}

bytes be32(uint32_t value) {
    return be16(static_cast<uint16_t>(value >> 16)) + be16(static_cast<uint16_t>(value));
}

bytes subblock(uint8_t type, const bytes &value) {
    if (value.size() > max_value)
        refuse("subblock value of " + std::to_string(value.size()) + " bytes");
    bytes b;
    b += static_cast<char>(type);
    b += static_cast<char>(value.size());
    return b + value;
}

bytes padded(const bytes &data) {
    return data + filler(data.size());
}

bytes filler(uint64_t data_size) {
    return bytes(filler_after(data_size), '\xFF');
}

uint16_t checksum(const bytes &data) {
    return summarize(data).checksum;
}

void data_digest::add(const char *piece, size_t count) {
    for (size_t i = 0; i < count; i++) {
        // Bytes at even offsets are the low halves of the little-endian words.
        unsigned shift = (sum_.size + i) % 2 ? 8 : 0;
        sum_.checksum ^= static_cast<uint16_t>(static_cast<uint8_t>(piece[i]) << shift);
    }
    sum_.crc = crc32_update(sum_.crc, reinterpret_cast<const uint8_t *>(piece),
                            static_cast<uint32_t>(count));
    crypto_hash_sha512_update(&sha_, reinterpret_cast<const uint8_t *>(piece), count);
    sum_.size += count;
}

crypto_hash_sha512_state data_digest::sha512_start() {
    crypto_hash_sha512_state state;
    crypto_hash_sha512_init(&state);
    return state;
}

data_summary data_digest::finish() const {
    data_digest all = *this;
    bytes rest = filler(sum_.size);
    all.add(rest.data(), rest.size());
    all.sum_.size = sum_.size;
    uint8_t hash[crypto_hash_sha512_BYTES];
    crypto_hash_sha512_final(&all.sha_, hash);
    all.sum_.sha512.assign(reinterpret_cast<char *>(hash), sizeof hash);
    return all.sum_;
}

data_summary summarize(const bytes &data) {
    data_digest digest;
    digest.add(data.data(), data.size());
    return digest.finish();
}

bytes file_data_value(const std::string &name, uint32_t data_size, uint16_t sum) {
    return bytes("\x01\x01\x00", 3) + be16(sum) + nul_padded(name, velkan_name_width) +
           be32(data_size) + be32(0);
}

bytes valid_for_value(const std::string &product, const std::vector<std::string> &hw_builds) {
    bytes value = nul_padded(product, velkan_product_width);
    for (const auto &hw : hw_builds)
        value += nul_padded(hw, velkan_hw_build_width);
    return value;
}

bytes partitions_value(const std::vector<partition> &entries) {
    bytes value(11, '\0');
    value += be32(static_cast<uint32_t>(entries.size()));
    for (const auto &p : entries) {
        value += static_cast<char>(p.type);
        value += static_cast<char>(p.mode);
        value += be32(p.size);
    }
    return value;
}

bytes extent_value(uint32_t images, uint32_t file_length) {
    return be32(images) + be32(file_length);
}

bytes file_header(uint32_t count, const bytes &body) {
    bytes rest = be32(count) + body;
    return bytes(1, '\xB4') + be32(static_cast<uint32_t>(rest.size())) + rest;
}

bytes file_header(const std::vector<bytes> &subblocks, const bytes &trailing) {
    bytes body;
    for (const auto &sb : subblocks)
        body += sb;
    return file_header(static_cast<uint32_t>(subblocks.size()), body + trailing);
}

bytes subimage_header(const std::vector<bytes> &subblocks, uint8_t spare) {
    bytes b;
    b += 'T';
    b += static_cast<char>(subblocks.size());
    for (const auto &sb : subblocks)
        b += sb;
    b += static_cast<char>(spare);
    return b;
}

std::vector<bytes> image::subblocks(bool crc32) const {
    return subblocks(summarize(data), crc32);
}

std::vector<bytes> image::subblocks(const data_summary &data_sum, bool crc32) const {
    check_field(name, velkan_name_width, "image name");
    if (data_sum.size > velkan_max_data_size)
        refuse("image '" + name + "' is too large");
    std::vector<bytes> list;
    uint64_t stored = exact_size ? data_sum.size : data_sum.size + filler_after(data_sum.size);
    list.push_back(
        subblock(velkan_type_file_data,
                 file_data_value(name, static_cast<uint32_t>(stored), data_sum.checksum)));
    if (!version.empty()) {
        if (version.size() > max_value)
            refuse("version of image '" + name + "' longer than 255 bytes");
        list.push_back(subblock(velkan_type_version, version));
    }
    for (const auto &v : valid) {
        check_field(v.product, velkan_product_width, "product");
        for (const auto &hw : v.hw_builds)
            check_field(hw, velkan_hw_build_width, "HW build");
        if (velkan_product_width + velkan_hw_build_width * v.hw_builds.size() > max_value)
            refuse("too many HW builds for product '" + v.product + "'");
        list.push_back(subblock(velkan_type_valid_for, valid_for_value(v.product, v.hw_builds)));
    }
    if (!partitions.empty()) {
        bytes value = partitions_value(partitions);
        if (value.size() > max_value)
            refuse("too many partitions for image '" + name + "'");
        list.push_back(subblock(velkan_type_partitions, value));
    }
    if (crc32)
        list.push_back(subblock(velkan_type_crc32, be32(data_sum.crc)));
    // A blank summary (a header written before its data) takes the digest's room.
    if (digest)
        list.push_back(subblock(velkan_type_digest, data_sum.sha512.empty()
                                                        ? bytes(velkan_digest_len, '\0')
                                                        : data_sum.sha512));
    for (const auto &sb : extra) {
        if (sb.size() < 2 || sb.size() != 2u + static_cast<uint8_t>(sb[1]))
            refuse("malformed extra subblock");
        list.push_back(sb);
    }
    size_t cost = 0;
    for (const auto &sb : list)
        cost += sb.size() + 2;
    if (list.size() > 255 || cost > velkan_subimage_budget)
        refuse("subblocks of image '" + name + "' take " + std::to_string(cost) +
               " bytes of the header budget of " + std::to_string(velkan_subimage_budget));
    return list;
}

bytes image::header(const data_summary &data_sum, bool crc32) const {
    return subimage_header(subblocks(data_sum, crc32));
}

bytes image::encode(bool crc32) const {
    return subimage_header(subblocks(crc32)) + padded(data);
}

bytes container::header(uint64_t file_length) const {
    std::vector<bytes> list;
    if (!release.empty()) {
        if (release.size() > max_value)
            refuse("release version longer than 255 bytes");
        list.push_back(subblock(velkan_type_version, release));
    }
    if (integrity)
        list.push_back(
            subblock(velkan_type_extent, extent_value(static_cast<uint32_t>(images.size()),
                                                      static_cast<uint32_t>(file_length))));
    if (signable)
        list.push_back(subblock(velkan_type_signature, bytes(velkan_signature_len, '\0')));
    list.insert(list.end(), extra_header.begin(), extra_header.end());
    bytes out = file_header(list);
    if (out.size() - 5 > max_header_body)
        refuse("file header subblocks too long");
    return out;
}

bytes container::encode() const {
    bytes body;
    for (image img : images) {
        img.digest = img.digest || signable;
        body += img.encode(integrity);
    }
    uint64_t length = header(0).size() + body.size();
    if (length > 0xFFFFFFFFu)
        refuse("container larger than 4 GiB - 1");
    return header(length) + body;
}

size_t signature_offset(const bytes &container_bytes) {
    if (container_bytes.size() < 9)
        return 0;
    uint32_t count = get_be32(reinterpret_cast<const uint8_t *>(container_bytes.data() + 5));
    size_t at = 9;
    for (uint32_t i = 0; i < count && at + 2 <= container_bytes.size(); i++) {
        if (static_cast<uint8_t>(container_bytes[at]) == velkan_type_signature)
            return at + 2;
        at += 2u + static_cast<uint8_t>(container_bytes[at + 1]);
    }
    return 0;
}

void write_file(const std::string &path, const bytes &content) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        throw std::runtime_error(path + ": " + strerror(errno));
    bool ok = fwrite(content.data(), 1, content.size(), f) == content.size();
    ok = fclose(f) == 0 && ok;
    if (!ok)
        throw std::runtime_error(path + ": " + strerror(errno));
}

bytes read_file(const std::string &path) {
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        throw std::runtime_error(path + ": " + strerror(errno));
    bytes content;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        content.append(buf, n);
    bool ok = !ferror(f);
    int saved = errno;
    fclose(f);
    if (!ok)
        throw std::runtime_error(path + ": " + strerror(saved));
    return content;
}

} // namespace velkan_writer
