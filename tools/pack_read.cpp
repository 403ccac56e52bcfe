// velkan-pack list, verify and extract: what a container holds, whether its
// images are whole, and an image's bytes as the flasher reads them.
#include "pack.h"

#include "output_file.h"

#include "crc32.h"
#include "ident.h"
#include "log.h"

#include <nlohmann/json.hpp>

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <memory>

namespace pack {

namespace {

nlohmann::ordered_json image_json(subimage *img) {
    nlohmann::ordered_json valid = nlohmann::ordered_json::array();
    for (const auto &v : valid_for_of(img))
        valid.push_back({{"product", v.product}, {"hw_builds", v.hw_builds}});
    std::vector<velkan_partition> entries;
    nlohmann::ordered_json partitions = nlohmann::ordered_json::array();
    if (partitions_of(img, &entries))
        for (const auto &p : entries)
            partitions.push_back({{"type", p.type}, {"mode", p.mode}, {"size", p.size}});
    bool has_version;
    std::string version = version_in(img->subblocks, &has_version);
    subblock *crc_sb = subblock_find(img->subblocks, velkan_type_crc32, 0);
    uint32_t crc;
    bool has_crc = crc_sb && velkan_crc32_decode(crc_sb, &crc);
    return {{"name", name_of(img)},
            {"data_offset", img->data_offset},
            {"size", img->size},
            {"data_size", img->data_size},
            {"checksum", img->checksum},
            {"crc32", has_crc ? nlohmann::ordered_json(crc) : nlohmann::ordered_json()},
            {"version", has_version ? nlohmann::ordered_json(version) : nlohmann::ordered_json()},
            {"valid_for", valid},
            {"partitions", partitions}};
}

} // namespace

int list(const std::string &path, int extra_verbosity, bool json) {
    verbosity = json ? 0 : 1 + extra_verbosity;
    container set = open_container(path);
    if (!set)
        return 1;
    if (json) {
        bool has_release;
        std::string release = version_in(set->header_subblocks, &has_release);
        subblock *extent_sb = subblock_find(set->header_subblocks, velkan_type_extent, 0);
        uint32_t images, length;
        nlohmann::ordered_json extent;
        if (extent_sb && velkan_extent_decode(extent_sb, &images, &length))
            extent = {{"images", images}, {"file_length", length}};
        nlohmann::ordered_json doc = {
            {"file_size", set->file_size},
            {"release", has_release ? nlohmann::ordered_json(release) : nlohmann::ordered_json()},
            {"extent", extent},
            {"images", nlohmann::ordered_json::array()}};
        for (subimage *img = set->subimages; img; img = img->next)
            doc["images"].push_back(image_json(img));
        printf("%s\n",
               doc.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
        return 0;
    }
    unsigned count = 0;
    for (subimage *img = set->subimages; img; img = img->next) {
        count++;
        std::string filler =
            img->data_size == img->size ? "" : " (" + std::to_string(img->size) + " with filler)";
        log_printf(2, "'%.12s': data at offset %u, %u bytes%s, checksum 0x%04x", img->name,
                   img->data_offset, img->data_size, filler.c_str(), img->checksum);
    }
    log_printf(1, "%u image(s) in %u bytes", count, set->file_size);
    return 0;
}

namespace {

// The checksum and CRC-32 of an image's data and filler, read as the flasher
// reads them. False after the reader's report.
bool digest_of(subimage *img, uint16_t *sum, uint32_t *crc) {
    std::vector<uint8_t> chunk(chunk_size);
    *sum = 0;
    *crc = 0;
    for (uint32_t pos = 0; pos < img->size;) {
        uint32_t count = std::min(chunk_size, img->size - pos);
        if (velkan_read_bytes(img, pos, chunk.data(), count) < 0)
            return false;
        *sum ^= xor_words16(chunk.data(), count);
        *crc = crc32_update(*crc, chunk.data(), count);
        pos += count;
    }
    return true;
}

// What the image's header says against its data, one text a problem; the
// CRC-32 found in its header goes to crc_text.
std::vector<std::string> image_problems(subimage *img, std::string *crc_text) {
    std::vector<std::string> problems;
    uint16_t sum = 0;
    uint32_t crc = 0;
    bool read = digest_of(img, &sum, &crc);
    if (!read)
        problems.push_back("data cannot be read");
    else if (sum != img->checksum)
        problems.push_back("checksum " + hex16(img->checksum) + " in the header, " + hex16(sum) +
                           " over data and filler");
    if (subblock *sb = subblock_find(img->subblocks, velkan_type_crc32, 0)) {
        uint32_t stored;
        if (!velkan_crc32_decode(sb, &stored)) {
            problems.push_back("CRC-32 subblock of " + std::to_string(sb->len) +
                               " bytes is malformed");
        } else {
            *crc_text = ", CRC-32 " + hex32(stored);
            if (read && stored != crc)
                problems.push_back("CRC-32 " + hex32(stored) + " in the header, " + hex32(crc) +
                                   " over data and filler");
        }
    }
    if (img->data_size % velkan_data_alignment)
        problems.push_back("data size " + std::to_string(img->data_size) +
                           " is not a multiple of " + std::to_string(velkan_data_alignment));
    for (int n = 0; subblock *sb = subblock_find(img->subblocks, velkan_type_valid_for, n); n++)
        if (!velkan_valid_for_whole(sb))
            problems.push_back("product / HW rev subblock " + std::to_string(n + 1) + " of " +
                               std::to_string(sb->len) + " bytes is malformed");
    std::vector<velkan_partition> entries;
    if (!partitions_of(img, &entries))
        problems.push_back("partition subblock is malformed");
    return problems;
}

// The file's extent subblock against the images read and the file's size:
// the line for stdout, and a problem or none.
std::string extent_line(image_set *set, uint32_t images, std::string *problem) {
    subblock *sb = subblock_find(set->header_subblocks, velkan_type_extent, 0);
    if (!sb)
        return "no extent subblock: a cut or extended file is not detected";
    uint32_t stored_images, stored_length;
    if (!velkan_extent_decode(sb, &stored_images, &stored_length)) {
        *problem = "extent subblock of " + std::to_string(sb->len) + " bytes is malformed";
        return "extent: BAD";
    }
    std::string line = "extent: " + std::to_string(stored_images) + " image(s) in " +
                       std::to_string(stored_length) + " bytes";
    if (stored_images == images && stored_length == set->file_size)
        return line + ": ok";
    *problem = "the extent subblock gives " + std::to_string(stored_images) + " image(s) in " +
               std::to_string(stored_length) + " bytes, the file holds " + std::to_string(images) +
               " in " + std::to_string(set->file_size) + ": cut, extended or images dropped";
    return line + ": BAD";
}

} // namespace

int verify(const std::string &path) {
    container set = open_container(path);
    if (!set) {
        complain(path + ": not a container the flasher reads");
        return 1;
    }
    int damaged = 0, number = 0;
    bool any_crc = false;
    for (subimage *img = set->subimages; img; img = img->next) {
        std::string which = "image " + std::to_string(++number) + " '" + name_of(img) + "'";
        std::string crc_text;
        std::vector<std::string> problems = image_problems(img, &crc_text);
        any_crc = any_crc || subblock_find(img->subblocks, velkan_type_crc32, 0);
        printf("%s: %u bytes, checksum %s%s: %s\n", which.c_str(), img->size,
               hex16(img->checksum).c_str(), crc_text.c_str(), problems.empty() ? "ok" : "BAD");
        for (const auto &problem : problems)
            complain(which + ": " + problem);
        damaged += problems.empty() ? 0 : 1;
    }
    std::string extent_problem;
    printf("%s\n", extent_line(set.get(), static_cast<uint32_t>(number), &extent_problem).c_str());
    if (!extent_problem.empty())
        complain(path + ": " + extent_problem);
    if (!any_crc && number > 0)
        printf("no CRC-32 subblocks: the images are checked by their 16-bit checksums only\n");
    printf("%d image(s), %d damaged\n", number, damaged);
    return damaged || !extent_problem.empty() ? 1 : 0;
}

int extract(const std::string &path, const std::string &name, const std::string &out,
            const std::string &product, const std::string &hw) {
    if (out != "-" && same_file(path, out))
        throw failure(out + ": is the container itself; not overwritten");
    container set = open_container(path);
    if (!set)
        return 1;
    hw_ident ident = {const_cast<char *>(product.c_str()), const_cast<char *>(hw.c_str())};
    subimage *img =
        image_find_component(set.get(), product.empty() ? nullptr : &ident, name.c_str());
    if (!img) {
        complain("no image '" + name + "'" + (product.empty() ? "" : " for " + product + ":" + hw));
        return 1;
    }
    std::vector<uint8_t> chunk(chunk_size);
    std::unique_ptr<output_file> file(out == "-" ? nullptr : new output_file(out));
    for (uint32_t pos = 0; pos < img->size;) {
        uint32_t count = std::min(chunk_size, img->size - pos);
        if (velkan_read_bytes(img, pos, chunk.data(), count) < 0)
            return 1;
        if (file)
            file->write(chunk.data(), count);
        else if (fwrite(chunk.data(), 1, count, stdout) != count)
            throw failure(std::string("standard output: ") + strerror(errno));
        pos += count;
    }
    if (file)
        file->commit();
    else if (fflush(stdout) != 0)
        throw failure(std::string("standard output: ") + strerror(errno));
    return 0;
}

} // namespace pack
