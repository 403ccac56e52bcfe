// velkan-pack list, verify and extract: what a container holds, whether its
// images are whole, and an image's bytes as the flasher reads them.
#include "pack.h"

#include "velkan_sign.h"

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

using json = nlohmann::ordered_json;

json text_or_null(subblock *list) {
    bool present;
    std::string text = version_in(list, &present);
    return present ? json(text) : json();
}

// The image's CRC-32 subblock, when it is there and well-formed.
bool crc_of(subimage *img, uint32_t *crc) {
    subblock *sb = subblock_find(img->subblocks, velkan_type_crc32, 0);
    return sb && velkan_crc32_decode(sb, crc);
}

json extent_json(image_set *set) {
    subblock *sb = subblock_find(set->header_subblocks, velkan_type_extent, 0);
    uint32_t images, length;
    if (!sb || !velkan_extent_decode(sb, &images, &length))
        return json();
    return {{"images", images}, {"file_length", length}};
}

json image_json(image_set *set, subimage *img) {
    json valid = json::array();
    for (const auto &v : valid_for_of(img))
        valid.push_back({{"product", v.product}, {"hw_builds", v.hw_builds}});
    std::vector<velkan_partition> entries;
    json partitions = json::array();
    if (partitions_of(img, &entries))
        for (const auto &p : entries)
            partitions.push_back({{"type", p.type}, {"mode", p.mode}, {"size", p.size}});
    uint32_t crc;
    return {{"number", number_of(set, img)},
            {"name", name_of(img)},
            {"data_offset", img->data_offset},
            {"size", img->size},
            {"data_size", img->data_size},
            {"checksum", img->checksum},
            {"crc32", crc_of(img, &crc) ? json(crc) : json()},
            {"version", text_or_null(img->subblocks)},
            {"valid_for", valid},
            {"partitions", partitions}};
}

void print_json(const json &doc) {
    printf("%s\n", doc.dump(2, ' ', false, json::error_handler_t::replace).c_str());
}

// The checksum and CRC-32 of an image's data and filler, read as the flasher
// reads them. False after the reader's report.
bool digest_of(subimage *img, uint16_t *sum, uint32_t *crc, sign_digest *sha) {
    std::vector<uint8_t> chunk(chunk_size);
    *sum = 0;
    *crc = 0;
    sign_digest_start(sha);
    for (uint32_t pos = 0; pos < img->size;) {
        uint32_t count = std::min(chunk_size, img->size - pos);
        if (velkan_read_bytes(img, pos, chunk.data(), count) < 0)
            return false;
        *sum ^= xor_words16(chunk.data(), count);
        *crc = crc32_update(*crc, chunk.data(), count);
        sign_digest_add(sha, chunk.data(), count);
        pos += count;
    }
    return true;
}

// The image's digest subblock against its data; with signed, an image
// without one is a problem too.
void check_digest(subimage *img, sign_digest *sha, bool read, bool is_signed,
                  std::vector<std::string> *problems) {
    subblock *sb = subblock_find(img->subblocks, velkan_type_digest, 0);
    if (!sb) {
        if (is_signed)
            problems->push_back("no digest subblock: its data is not signed");
        return;
    }
    const uint8_t *expected = velkan_digest_decode(sb);
    uint8_t computed[velkan_digest_len];
    sign_digest_finish(sha, computed);
    if (!expected)
        problems->push_back("digest subblock of " + std::to_string(sb->len) +
                            " bytes is malformed");
    else if (read && memcmp(expected, computed, sizeof computed) != 0)
        problems->push_back("digest in the header differs from the SHA-512 of data and filler");
}

// What verify finds for one image.
struct image_check {
    int number;
    std::string which; // image N 'NAME'
    bool read = false, has_crc = false;
    uint16_t sum = 0;
    uint32_t crc = 0, stored_crc = 0;
    std::vector<std::string> problems;
};

image_check check_image(image_set *set, subimage *img, bool is_signed) {
    image_check c;
    c.number = number_of(set, img);
    c.which = "image " + std::to_string(c.number) + " '" + shown(name_of(img)) + "'";
    sign_digest sha;
    c.read = digest_of(img, &c.sum, &c.crc, &sha);
    check_digest(img, &sha, c.read, is_signed, &c.problems);
    if (!c.read)
        c.problems.push_back("data cannot be read");
    else if (c.sum != img->checksum)
        c.problems.push_back("checksum " + hex16(img->checksum) + " in the header, " +
                             hex16(c.sum) + " over data and filler");
    subblock *sb = subblock_find(img->subblocks, velkan_type_crc32, 0);
    c.has_crc = sb && velkan_crc32_decode(sb, &c.stored_crc);
    if (sb && !c.has_crc)
        c.problems.push_back("CRC-32 subblock of " + std::to_string(sb->len) +
                             " bytes is malformed");
    if (c.has_crc && c.read && c.stored_crc != c.crc)
        c.problems.push_back("CRC-32 " + hex32(c.stored_crc) + " in the header, " + hex32(c.crc) +
                             " over data and filler");
    if (img->data_size % velkan_data_alignment)
        c.problems.push_back("data size " + std::to_string(img->data_size) +
                             " is not a multiple of " + std::to_string(velkan_data_alignment));
    for (int n = 0; subblock *v = subblock_find(img->subblocks, velkan_type_valid_for, n); n++)
        if (!velkan_valid_for_whole(v))
            c.problems.push_back("product / HW rev subblock " + std::to_string(n + 1) + " of " +
                                 std::to_string(v->len) + " bytes is malformed");
    std::vector<velkan_partition> entries;
    if (!partitions_of(img, &entries))
        c.problems.push_back("partition subblock is malformed");
    return c;
}

// The file's extent subblock against the images read and the file's size:
// the line for stdout; a problem goes to *problem.
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

json check_json(const image_check &c, subimage *img) {
    return {{"number", c.number},
            {"name", name_of(img)},
            {"size", img->size},
            {"checksum", img->checksum},
            {"computed_checksum", c.read ? json(c.sum) : json()},
            {"crc32", c.has_crc ? json(c.stored_crc) : json()},
            {"computed_crc32", c.read ? json(c.crc) : json()},
            {"ok", c.problems.empty()},
            {"problems", c.problems}};
}

// verify's findings as one JSON document.
json verify_json(image_set *set, const json &images, int damaged, const std::string &extent_problem,
                 bool ok) {
    json extent = extent_json(set);
    if (!extent.is_null())
        extent["ok"] = extent_problem.empty();
    return {{"file_size", set->file_size},
            {"extent", extent},
            {"extent_problem", extent_problem.empty() ? json() : json(extent_problem)},
            {"images", images},
            {"damaged", damaged},
            {"ok", ok}};
}

} // namespace

int list(const std::string &path, int extra_verbosity, bool json_output) {
    // The flasher's log of the headers at -v (at -vvv with the partitions).
    verbosity = json_output ? 0 : extra_verbosity ? 3 : 1;
    container set = open_container(path);
    if (!set)
        return 1;
    if (json_output) {
        json doc = {{"file_size", set->file_size},
                    {"release", text_or_null(set->header_subblocks)},
                    {"extent", extent_json(set.get())},
                    {"images", json::array()}};
        for (subimage *img = set->subimages; img; img = img->next)
            doc["images"].push_back(image_json(set.get(), img));
        print_json(doc);
        return 0;
    }
    int count = 0;
    for (subimage *img = set->subimages; img; img = img->next) {
        std::string filler =
            img->data_size == img->size ? "" : " (" + std::to_string(img->size) + " with filler)";
        uint32_t crc;
        std::string crc_text = crc_of(img, &crc) ? ", CRC-32 " + hex32(crc) : "";
        printf("image %d '%s': data at offset %u, %u bytes%s, checksum %s%s\n", ++count,
               shown(name_of(img)).c_str(), img->data_offset, img->data_size, filler.c_str(),
               hex16(img->checksum).c_str(), crc_text.c_str());
    }
    printf("%d image(s) in %u bytes\n", count, set->file_size);
    return 0;
}

int verify(const std::string &path, bool json_output, const std::string &key_path) {
    container set = open_container(path);
    if (!set)
        return 1;
    int damaged = 0, number = 0;
    bool any_crc = false;
    json images = json::array();
    for (subimage *img = set->subimages; img; img = img->next, number++) {
        image_check c = check_image(set.get(), img, !key_path.empty());
        any_crc = any_crc || c.has_crc;
        damaged += c.problems.empty() ? 0 : 1;
        images.push_back(check_json(c, img));
        if (json_output)
            continue;
        std::string crc_text = c.has_crc ? ", CRC-32 " + hex32(c.stored_crc) : "";
        printf("%s: %u bytes, checksum %s%s: %s\n", c.which.c_str(), img->size,
               hex16(img->checksum).c_str(), crc_text.c_str(), c.problems.empty() ? "ok" : "BAD");
        for (const auto &problem : c.problems)
            complain(path + ": " + c.which + ": " + problem);
    }
    std::string extent_problem;
    std::string line = extent_line(set.get(), static_cast<uint32_t>(number), &extent_problem);
    bool signature_ok = true;
    std::string signature =
        key_path.empty() ? ""
                         : signature_check(set.get(), path, key_path, !json_output, &signature_ok);
    bool ok = damaged == 0 && extent_problem.empty() && signature_ok;
    if (json_output) {
        json doc = verify_json(set.get(), images, damaged, extent_problem, ok);
        if (!key_path.empty())
            doc["signature"] = signature;
        print_json(doc);
        return ok ? 0 : 1;
    }
    printf("%s\n", line.c_str());
    if (!extent_problem.empty())
        complain(path + ": " + extent_problem);
    if (!any_crc && number > 0)
        printf("no CRC-32 subblocks: the images are checked by their 16-bit checksums only\n");
    if (!signature.empty())
        printf("%s\n", signature.c_str());
    printf("%d image(s), %d damaged\n", number, damaged);
    return ok ? 0 : 1;
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
        complain("no image '" + shown(name) + "'" +
                 (product.empty() ? "" : " for " + device_text({product, hw})));
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
    return 0;
}

} // namespace pack
