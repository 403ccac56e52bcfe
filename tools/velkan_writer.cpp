#include "velkan_writer.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <stdexcept>

namespace velkan_writer {

namespace {

constexpr size_t name_width = 12;
constexpr size_t product_width = 16;
constexpr size_t hw_build_width = 8;
constexpr size_t max_value = 255;
// 5 + body length may not exceed 512.
constexpr size_t max_header_body = 507;
constexpr uint64_t max_data_size = 0xFFFFFF80u;

[[noreturn]] void refuse(const std::string &what) {
    throw std::invalid_argument(what);
}

// A text field of the format: at most width characters, no NUL inside.
void check_field(const std::string &text, size_t width, const char *what) {
    if (text.empty())
        refuse(std::string("empty ") + what);
    if (text.size() > width)
        refuse(std::string(what) + " '" + text + "' longer than " + std::to_string(width) +
               " characters");
    if (text.find('\0') != std::string::npos)
        refuse(std::string(what) + " holds a NUL character");
}

bytes nul_padded(const std::string &text, size_t width) {
    bytes field = text.substr(0, width);
    field.resize(width, '\0');
    return field;
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
    bytes b = data;
    size_t rest = data.size() % data_alignment;
    if (rest)
        b.append(data_alignment - rest, '\xFF');
    return b;
}

uint16_t checksum(const bytes &data) {
    bytes all = padded(data);
    uint16_t sum = 0;
    for (size_t i = 0; i + 1 < all.size(); i += 2)
        sum ^= static_cast<uint16_t>(static_cast<uint8_t>(all[i]) | static_cast<uint8_t>(all[i + 1])
                                                                        << 8);
    return sum;
}

bytes file_data_value(const std::string &name, uint32_t data_size, uint16_t sum) {
    return bytes("\x01\x01\x00", 3) + be16(sum) + nul_padded(name, name_width) + be32(data_size) +
           be32(0);
}

bytes valid_for_value(const std::string &product, const std::vector<std::string> &hw_builds) {
    bytes value = nul_padded(product, product_width);
    for (const auto &hw : hw_builds)
        value += nul_padded(hw, hw_build_width);
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

std::vector<bytes> image::subblocks() const {
    check_field(name, name_width, "image name");
    if (data.size() > max_data_size)
        refuse("image '" + name + "' is too large");
    std::vector<bytes> list;
    size_t rounded = (data.size() + data_alignment - 1) / data_alignment * data_alignment;
    size_t stored = exact_size ? data.size() : rounded;
    list.push_back(subblock(type_file_data, file_data_value(name, static_cast<uint32_t>(stored),
                                                            velkan_writer::checksum(data))));
    if (!version.empty()) {
        if (version.size() > max_value)
            refuse("version of image '" + name + "' longer than 255 characters");
        list.push_back(subblock(type_version, version));
    }
    for (const auto &v : valid) {
        check_field(v.product, product_width, "product");
        for (const auto &hw : v.hw_builds)
            check_field(hw, hw_build_width, "HW build");
        if (product_width + hw_build_width * v.hw_builds.size() > max_value)
            refuse("too many HW builds for product '" + v.product + "'");
        list.push_back(subblock(type_valid_for, valid_for_value(v.product, v.hw_builds)));
    }
    if (!partitions.empty()) {
        if (15 + 6 * partitions.size() > max_value)
            refuse("too many partitions for image '" + name + "'");
        list.push_back(subblock(type_partitions, partitions_value(partitions)));
    }
    for (const auto &sb : extra) {
        if (sb.size() < 2 || sb.size() != 2u + static_cast<uint8_t>(sb[1]))
            refuse("malformed extra subblock");
        list.push_back(sb);
    }
    size_t cost = 0;
    for (const auto &sb : list)
        cost += sb.size() + 2;
    if (list.size() > 255 || cost > subimage_budget)
        refuse("subblocks of image '" + name + "' take " + std::to_string(cost) +
               " bytes of the header budget of " + std::to_string(subimage_budget));
    return list;
}

bytes image::encode() const {
    return subimage_header(subblocks()) + padded(data);
}

bytes container::encode() const {
    std::vector<bytes> header;
    if (!release.empty()) {
        if (release.size() > max_value)
            refuse("release version longer than 255 characters");
        header.push_back(subblock(type_version, release));
    }
    header.insert(header.end(), extra_header.begin(), extra_header.end());
    size_t body = 4;
    for (const auto &sb : header)
        body += sb.size();
    if (body > max_header_body)
        refuse("file header subblocks too long");
    bytes out = file_header(header);
    for (const auto &img : images)
        out += img.encode();
    if (out.size() > 0xFFFFFFFFu)
        refuse("container larger than 4 GiB - 1");
    return out;
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
