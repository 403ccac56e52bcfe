// velkan-pack: builds VELKAN firmware containers on the host, and lists,
// verifies, checks and takes apart what one holds with the flasher's own
// reader, data access and component selection.
//
// Exit status: 0 on success; 1 when a file cannot be read or written, the
// container is malformed or damaged, or a component is missing or does not
// fit; 2 on a usage error.
#include "velkan_writer.h"

#include "ident.h"
#include "log.h"
#include "crc32.h"
#include "velkan.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <ctype.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace vw = velkan_writer;

// Complaints about the command line: status 2 with the command's synopsis.
struct usage_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Failures that end a command with status 1.
struct failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

const std::map<std::string, std::string> synopses = {
    {"", "velkan-pack COMMAND [ARGS]... (create, list, verify, check, extract)"},
    {"create", "velkan-pack create OUT [--release VERSION] IMAGE-DEF..."},
    {"list", "velkan-pack list FILE [-v...] [--json]"},
    {"verify", "velkan-pack verify FILE"},
    {"check", "velkan-pack check FILE --product P --hw H [--only NAME]...\n"
              "           [--partition NAME=SIZE:ERASESIZE[:BADBLOCKS]]..."},
    {"extract", "velkan-pack extract FILE NAME OUT [--product P --hw H]"},
};

const char image_def_help[] =
    "IMAGE-DEF: "
    "NAME=FILE[,version=V][,valid=PRODUCT[:HW[:HW...]]]...[,partition=TYPE:MODE:SIZE]...";

// Component data is read through this much memory at a time.
constexpr uint32_t chunk_size = 131072;
constexpr size_t product_width = 16;
constexpr size_t hw_build_width = 8;

void warn(const std::string &text) {
    fprintf(stderr, "velkan-pack: warning: %s\n", text.c_str());
}

void complain(const std::string &text) {
    fprintf(stderr, "velkan-pack: %s\n", text.c_str());
}

std::vector<std::string> split(const std::string &text, char separator) {
    std::vector<std::string> pieces;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        pieces.push_back(text.substr(start, end - start));
        if (end == std::string::npos)
            return pieces;
        start = end + 1;
    }
}

// A whole unsigned number (decimal, 0x hexadecimal or 0 octal) up to max; with
// binary_suffix, K, M or G multiply it by 1024, 1024^2 or 1024^3.
uint32_t parse_number(const std::string &text, uint32_t max, const std::string &what,
                      bool binary_suffix = false) {
    if (text.empty() || !isdigit(static_cast<unsigned char>(text[0])))
        throw usage_error("bad " + what + " '" + text + "'");
    errno = 0;
    char *end = nullptr;
    unsigned long long value = strtoull(text.c_str(), &end, 0);
    static const char units[] = "KMG";
    int shift = 0;
    const char *unit =
        binary_suffix && *end ? strchr(units, toupper(static_cast<unsigned char>(*end))) : nullptr;
    if (unit && !end[1]) {
        shift = 10 * static_cast<int>(unit - units + 1);
        end++;
    }
    if (errno || *end || value > (max >> shift))
        throw usage_error("bad " + what + " '" + text + "'");
    value <<= shift;
    return static_cast<uint32_t>(value);
}

std::string hex16(uint16_t value) {
    char text[8];
    snprintf(text, sizeof text, "0x%04x", value);
    return text;
}

// A NUL-padded text field of the container as a string.
std::string field(const uint8_t *bytes, size_t width) {
    const void *nul = memchr(bytes, 0, width);
    return {reinterpret_cast<const char *>(bytes),
            nul ? static_cast<size_t>(static_cast<const uint8_t *>(nul) - bytes) : width};
}

std::string name_of(const subimage *img) {
    return field(reinterpret_cast<const uint8_t *>(img->name), sizeof img->name);
}

// ---- Reading containers with the flasher's reader ----

// The container at path read as `velkan-flasher -F` reads it, or null after
// the reader's own report. Held until the process ends, as the flasher holds it.
image_set *open_container(const std::string &path) {
    static auto *held = new std::vector<image_set *>; // never released
    auto *set = static_cast<image_set *>(calloc(1, sizeof(image_set)));
    if (!set)
        throw failure("out of memory");
    held->push_back(set);
    return image_open(set, path.c_str()) < 0 ? nullptr : set;
}

// The first version subblock of the list, or empty.
std::string version_in(subblock *list, bool *present = nullptr) {
    subblock *sb = subblock_find(list, '1', 0);
    if (present)
        *present = sb != nullptr;
    return sb ? field(sb->data, sb->len) : std::string();
}

std::vector<vw::valid_for> valid_for_of(subimage *img) {
    std::vector<vw::valid_for> list;
    for (int n = 0; subblock *sb = subblock_find(img->subblocks, '2', n); n++) {
        if (sb->len < product_width)
            continue;
        vw::valid_for v{field(sb->data, product_width), {}};
        for (size_t at = product_width; at + hw_build_width <= sb->len; at += hw_build_width)
            v.hw_builds.push_back(field(sb->data + at, hw_build_width));
        list.push_back(v);
    }
    return list;
}

// The entries of the first partition subblock, when it is well-formed.
bool partitions_of(subimage *img, std::vector<vw::partition> *entries) {
    subblock *sb = subblock_find(img->subblocks, '/', 0);
    if (!sb)
        return true;
    uint32_t count = sb->len > 20 ? get_be32(sb->data + 11) : 0;
    if (sb->len <= 20 || sb->len != 15 + 6 * uint64_t(count))
        return false;
    for (uint32_t i = 0; i < count; i++) {
        const uint8_t *entry = sb->data + 15 + 6 * i;
        entries->push_back({entry[0], entry[1], get_be32(entry + 2)});
    }
    return true;
}

// ---- Output files ----

// True when both paths name the same existing file.
bool same_file(const std::string &a, const std::string &b) {
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// A file written beside its destination and renamed into place by commit():
// the destination holds either what it held before or the whole new content.
class output_file {
  public:
    explicit output_file(const std::string &path) : path_(path) {
        size_t slash = path.rfind('/');
        std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
        temp_ = dir + "." + path.substr(dir.size()) + ".XXXXXX";
        int fd = mkstemp(&temp_[0]);
        file_ = fd < 0 ? nullptr : fdopen(fd, "wb");
        if (!file_) {
            int saved = errno;
            if (fd >= 0) {
                close(fd);
                unlink(temp_.c_str());
            }
            temp_.clear();
            throw failure(path + ": " + strerror(saved));
        }
        // mkstemp makes the file private; give it the mode a new file gets.
        mode_t mask = umask(0);
        umask(mask);
        fchmod(fileno(file_), 0666 & ~mask);
    }
    ~output_file() {
        if (file_)
            fclose(file_);
        if (!temp_.empty())
            unlink(temp_.c_str());
    }
    output_file(const output_file &) = delete;
    output_file &operator=(const output_file &) = delete;

    const std::string &temp_path() const {
        return temp_;
    }
    void write(const void *bytes, size_t count) {
        if (fwrite(bytes, 1, count, file_) != count)
            throw failure(path_ + ": " + strerror(errno));
    }
    // Completes the temporary file on disk.
    void finish() {
        bool ok = fflush(file_) == 0 && fsync(fileno(file_)) == 0;
        ok = fclose(file_) == 0 && ok;
        file_ = nullptr;
        if (!ok)
            throw failure(path_ + ": " + strerror(errno));
    }
    // Puts it in place of the destination.
    void commit() {
        if (file_)
            finish();
        if (rename(temp_.c_str(), path_.c_str()) < 0)
            throw failure(path_ + ": " + strerror(errno));
        temp_.clear();
    }

  private:
    std::string path_, temp_;
    FILE *file_ = nullptr;
};

// ---- create ----

struct image_argument {
    vw::image image; // without its data yet
    std::string file;
};

// NAME=FILE[,version=V][,valid=PRODUCT[:HW...]]...[,partition=TYPE:MODE:SIZE]...
image_argument parse_image_argument(const std::string &text) {
    size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0)
        throw usage_error("bad image '" + text + "': NAME=FILE expected");
    image_argument arg;
    arg.image.name = text.substr(0, eq);
    std::vector<std::string> fields = split(text.substr(eq + 1), ',');
    arg.file = fields[0];
    if (arg.file.empty())
        throw usage_error("bad image '" + text + "': no file");
    for (size_t i = 1; i < fields.size(); i++) {
        size_t at = fields[i].find('=');
        if (at == std::string::npos)
            throw usage_error("bad image '" + text + "': '" + fields[i] + "' is not KEY=VALUE");
        std::string key = fields[i].substr(0, at);
        std::string value = fields[i].substr(at + 1);
        if (key == "version") {
            arg.image.version = value;
        } else if (key == "valid") {
            std::vector<std::string> pieces = split(value, ':');
            arg.image.valid.push_back({pieces[0], {pieces.begin() + 1, pieces.end()}});
        } else if (key == "partition") {
            std::vector<std::string> pieces = split(value, ':');
            if (pieces.size() != 3)
                throw usage_error("bad partition '" + value + "': TYPE:MODE:SIZE expected");
            arg.image.partitions.push_back(
                {static_cast<uint8_t>(parse_number(pieces[0], 255, "type")),
                 static_cast<uint8_t>(parse_number(pieces[1], 255, "mode")),
                 parse_number(pieces[2], 0xFFFFFFFFu, "size")});
        } else {
            throw usage_error("bad image '" + text + "': unknown key '" + key + "'");
        }
    }
    return arg;
}

bool has_space(const std::string &text) {
    for (unsigned char c : text)
        if (isspace(c))
            return true;
    return false;
}

// Warns about what the flasher would never use: names other than kernel and
// initfs, codes that "/proc/component_version" cannot hold, and devices for
// which the flasher's selection picks an earlier image of the same name.
void warn_about(const std::vector<image_argument> &args, image_set *set) {
    std::vector<subimage *> images;
    for (subimage *img = set->subimages; img; img = img->next)
        images.push_back(img);
    if (images.size() != args.size())
        throw failure("the container just written does not read back");
    auto index_of = [&](const subimage *img) {
        for (size_t i = 0; i < images.size(); i++)
            if (images[i] == img)
                return std::to_string(i + 1);
        return std::string("none");
    };
    for (size_t i = 0; i < args.size(); i++) {
        const vw::image &image = args[i].image;
        std::string which = "image " + std::to_string(i + 1) + " '" + image.name + "'";
        if (image.name != "kernel" && image.name != "initfs")
            warn(which + ": the flasher flashes only kernel and initfs");
        // A device of each kind the image names; "" matches no code.
        std::vector<std::pair<std::string, std::string>> devices;
        for (const auto &v : image.valid) {
            if (has_space(v.product))
                warn(which + ": product '" + v.product +
                     "' holds white space and never matches /proc/component_version");
            for (const auto &hw : v.hw_builds)
                if (has_space(hw))
                    warn(which + ": HW build '" + hw +
                         "' holds white space and never matches /proc/component_version");
            if (v.hw_builds.empty())
                devices.push_back({v.product, ""});
            for (const auto &hw : v.hw_builds)
                devices.push_back({v.product, hw});
        }
        if (image.valid.empty())
            devices.push_back({"", ""});
        for (const auto &device : devices) {
            hw_ident ident = {const_cast<char *>(device.first.c_str()),
                              const_cast<char *>(device.second.c_str())};
            subimage *chosen = image_find_component(set, &ident, images[i]->name);
            if (chosen == images[i])
                continue;
            std::string what = device.first.empty()    ? "every device"
                               : device.second.empty() ? "every " + device.first + " device"
                                                       : device.first + ":" + device.second;
            warn(which + " is never flashed on " + what + ": the flasher picks image " +
                 index_of(chosen) + " there");
        }
    }
}

int create(const std::string &out, const std::string &release,
           const std::vector<std::string> &image_texts) {
    vw::container box;
    box.release = release;
    std::vector<image_argument> args;
    try {
        for (const auto &text : image_texts) {
            args.push_back(parse_image_argument(text));
            // The limits are checked before any file is read.
            args.back().image.subblocks();
            box.images.push_back(args.back().image);
        }
        box.encode();
    } catch (const std::invalid_argument &e) {
        throw usage_error(e.what());
    }
    for (const auto &arg : args)
        if (same_file(arg.file, out))
            throw failure(out + ": is also an input; not overwritten");
    try {
        for (size_t i = 0; i < args.size(); i++)
            box.images[i].data = vw::read_file(args[i].file);
    } catch (const std::runtime_error &e) {
        throw failure(e.what());
    }
    vw::bytes content = box.encode();
    output_file file(out);
    file.write(content.data(), content.size());
    file.finish();
    image_set *set = open_container(file.temp_path());
    if (!set)
        throw failure(out + ": the flasher's reader refuses what was written");
    warn_about(args, set);
    file.commit();
    return 0;
}

// ---- list ----

nlohmann::ordered_json image_json(subimage *img) {
    nlohmann::ordered_json valid = nlohmann::ordered_json::array();
    for (const auto &v : valid_for_of(img))
        valid.push_back({{"product", v.product}, {"hw_builds", v.hw_builds}});
    std::vector<vw::partition> entries;
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

int list(const std::string &path, int extra_verbosity, bool json) {
    verbosity = json ? 0 : 1 + extra_verbosity;
    image_set *set = open_container(path);
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

// ---- verify ----

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

std::string hex32(uint32_t value) {
    char text[12];
    snprintf(text, sizeof text, "0x%08x", value);
    return text;
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
    std::vector<vw::partition> entries;
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

int verify(const std::string &path) {
    image_set *set = open_container(path);
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
    printf("%s\n", extent_line(set, static_cast<uint32_t>(number), &extent_problem).c_str());
    if (!extent_problem.empty())
        complain(path + ": " + extent_problem);
    if (!any_crc && number > 0)
        printf("no CRC-32 subblocks: the images are checked by their 16-bit checksums only\n");
    printf("%d image(s), %d damaged\n", number, damaged);
    return damaged || !extent_problem.empty() ? 1 : 0;
}

// ---- check ----

struct partition_geometry {
    uint32_t size, erasesize, bad_blocks;
};

// NAME=SIZE:ERASESIZE[:BADBLOCKS], sizes with an optional K, M or G.
std::map<std::string, partition_geometry> parse_partitions(const std::vector<std::string> &texts) {
    std::map<std::string, partition_geometry> map;
    for (const auto &text : texts) {
        size_t eq = text.find('=');
        std::vector<std::string> pieces =
            split(text.substr(eq == std::string::npos ? 0 : eq + 1), ':');
        std::string name = text.substr(0, eq);
        if (eq == std::string::npos || (name != "kernel" && name != "initfs") ||
            pieces.size() < 2 || pieces.size() > 3)
            throw usage_error("bad partition '" + text +
                              "': kernel= or initfs=SIZE:ERASESIZE[:BADBLOCKS] expected");
        partition_geometry g = {parse_number(pieces[0], 0xFFFFFFFFu, "size", true),
                                parse_number(pieces[1], 0xFFFFFFFFu, "erase size", true),
                                pieces.size() == 3 ? parse_number(pieces[2], 0xFFFFFFFFu, "count")
                                                   : 0};
        if (g.erasesize == 0 || g.bad_blocks > g.size / g.erasesize)
            throw usage_error("bad partition '" + text + "': no erase block or too many bad ones");
        if (!map.insert({name, g}).second)
            throw usage_error("partition " + name + " given twice");
    }
    return map;
}

// Whether the component fits the partition as the flasher reckons it when it
// opens and programs one: pages of 2048 bytes in erase blocks above 16 KiB and
// of 512 bytes otherwise, the kernel behind one such page, every good whole
// block usable. A text for the report; *fits tells the verdict.
std::string fit(const subimage *img, bool kernel, const partition_geometry &g, bool *fits) {
    uint32_t page_size = g.erasesize > 0x4000 ? 2048 : 512;
    *fits = false;
    if (g.erasesize < page_size || g.erasesize % page_size)
        return "erase size " + std::to_string(g.erasesize) + " does not hold whole " +
               std::to_string(page_size) + "-byte pages: the flasher refuses the partition";
    uint64_t usable = uint64_t(g.erasesize) * (g.size / g.erasesize - g.bad_blocks);
    uint64_t length = (kernel ? page_size : 0) + uint64_t(img->size);
    *fits = length <= INT32_MAX && length <= usable;
    return std::to_string(length) + " bytes" +
           (kernel ? " with the " + std::to_string(page_size) + "-byte header page" : "") + " in " +
           std::to_string(usable) + " usable: " + (*fits ? "fits" : "does not fit");
}

int check(const std::string &path, const std::string &product, const std::string &hw,
          const std::vector<std::string> &only, const std::vector<std::string> &partition_texts) {
    std::map<std::string, partition_geometry> partitions = parse_partitions(partition_texts);
    image_set *set = open_container(path);
    if (!set)
        return 1;
    hw_ident ident = {const_cast<char *>(product.c_str()), const_cast<char *>(hw.c_str())};
    int status = 0;
    for (const char *name : {"kernel", "initfs"}) {
        if (!only.empty() && std::find(only.begin(), only.end(), name) == only.end())
            continue;
        subimage *img = image_find_component(set, &ident, name);
        if (!img) {
            printf("%s: none for %s:%s\n", name, product.c_str(), hw.c_str());
            complain(std::string("no ") + name + " image for " + product + ":" + hw);
            status = 1;
            continue;
        }
        int number = 1;
        for (subimage *i = set->subimages; i != img; i = i->next)
            number++;
        bool has_version;
        std::string version = version_in(img->subblocks, &has_version);
        std::string line = std::string(name) + ": image " + std::to_string(number) + ", " +
                           std::to_string(img->size) + " bytes" +
                           (has_version ? ", version " + version : "");
        auto g = partitions.find(name);
        if (g == partitions.end()) {
            printf("%s; partition not given\n", line.c_str());
            continue;
        }
        bool fits;
        std::string verdict = fit(img, strcmp(name, "kernel") == 0, g->second, &fits);
        printf("%s; %s\n", line.c_str(), verdict.c_str());
        if (!fits) {
            complain(std::string(name) + ": " + verdict);
            status = 1;
        }
    }
    return status;
}

// ---- extract ----

int extract(const std::string &path, const std::string &name, const std::string &out,
            const std::string &product, const std::string &hw) {
    if (out != "-" && same_file(path, out))
        throw failure(out + ": is the container itself; not overwritten");
    image_set *set = open_container(path);
    if (!set)
        return 1;
    hw_ident ident = {const_cast<char *>(product.c_str()), const_cast<char *>(hw.c_str())};
    subimage *img = image_find_component(set, product.empty() ? nullptr : &ident, name.c_str());
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

// ---- Command line ----

// The subcommand the parser was working on, or empty.
std::string command_of(CLI::App &app) {
    for (CLI::App *sub : app.get_subcommands())
        return sub->get_name();
    return "";
}

[[noreturn]] void usage_exit(const std::string &command, const std::string &complaint) {
    complain(complaint);
    fprintf(stderr, "Usage: %s\n", synopses.at(command).c_str());
    if (command == "create")
        fprintf(stderr, "%s\n", image_def_help);
    fprintf(stderr, "Run 'velkan-pack %s--help' for more.\n",
            command.empty() ? "" : (command + " ").c_str());
    exit(2);
}

} // namespace

int main(int argc, char **argv) {
    CLI::App app("Builds VELKAN firmware containers and checks what one holds, with the "
                 "reader and component selection of velkan-flasher.",
                 "velkan-pack");
    app.set_version_flag("--version", "velkan-pack " VF_VERSION);
    app.require_subcommand(1);

    std::string file, out, name, release, product, hw;
    std::vector<std::string> texts, partitions, only;
    int extra_verbosity = 0;
    bool json = false;

    CLI::App *create_cmd = app.add_subcommand("create", "Write a container OUT from images");
    create_cmd->add_option("OUT", out, "Container to write (through a temporary file beside it)")
        ->required();
    create_cmd->add_option("--release", release, "Release version of the whole container")
        ->type_name("VERSION");
    create_cmd->add_option("IMAGE-DEF", texts, "One image, in container order")->required();
    create_cmd->footer(std::string(image_def_help) +
                       "\nA NAME other than kernel and initfs, white space in a code, and an "
                       "image that the flasher never picks for a device it names are warned "
                       "about.");

    CLI::App *list_cmd = app.add_subcommand("list", "Show what a container holds");
    list_cmd->add_option("FILE", file, "Container")->required();
    list_cmd->add_flag("-v,--verbose", extra_verbosity,
                       "Add offsets, sizes and checksums; twice: partition entries");
    list_cmd->add_flag("--json", json, "One JSON document instead (keys in docs/format.md)");

    CLI::App *verify_cmd =
        app.add_subcommand("verify", "Compare each image's checksum with its data and filler");
    verify_cmd->add_option("FILE", file, "Container")->required();

    CLI::App *check_cmd = app.add_subcommand(
        "check", "Which kernel and initfs a device gets, and whether they fit its partitions");
    check_cmd->add_option("FILE", file, "Container")->required();
    check_cmd->add_option("--product", product, "Product code of the device")->required();
    check_cmd->add_option("--hw", hw, "HW build of the device")->required();
    check_cmd->add_option("--only", only, "Check only this component")
        ->check(CLI::IsMember({"kernel", "initfs"}))
        ->type_name("NAME");
    check_cmd
        ->add_option("--partition", partitions,
                     "Partition geometry, sizes in bytes or with K, M, G")
        ->type_name("NAME=SIZE:ERASESIZE[:BADBLOCKS]");

    CLI::App *extract_cmd =
        app.add_subcommand("extract", "Write the bytes the flasher reads for an image");
    extract_cmd->add_option("FILE", file, "Container")->required();
    extract_cmd->add_option("NAME", name, "Component name")->required();
    extract_cmd->add_option("OUT", out, "File to write, - for standard output")->required();
    CLI::Option *p = extract_cmd->add_option("--product", product, "Select as for this product");
    CLI::Option *h = extract_cmd->add_option("--hw", hw, "and this HW build");
    p->needs(h);
    h->needs(p);

    const char *status = "Exit status: 0 on success, 2 on a usage error, 1 ";
    create_cmd->footer(create_cmd->get_footer() + "\n" + status +
                       "when an input cannot be read, OUT cannot be written or is an input.");
    list_cmd->footer(status + std::string("when FILE is not a container the flasher reads."));
    verify_cmd->footer(status +
                       std::string("when an image is damaged or FILE is not a container."));
    check_cmd->footer(status + std::string("when a component is missing or does not fit."));
    extract_cmd->footer(status + std::string("when there is no such image or a file fails."));
    app.footer("Exit status: 0 on success, 1 on a failure or a finding, 2 on a usage error.\n"
               "Run 'velkan-pack COMMAND --help' for a command's arguments.");
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        usage_exit(command_of(app), e.what());
    }
    try {
        if (*create_cmd)
            return create(out, release, texts);
        if (*list_cmd)
            return list(file, extra_verbosity, json);
        if (*verify_cmd)
            return verify(file);
        if (*check_cmd)
            return check(file, product, hw, only, partitions);
        return extract(file, name, out, product, hw);
    } catch (const usage_error &e) {
        usage_exit(command_of(app), e.what());
    } catch (const std::exception &e) {
        complain(e.what());
        return 1;
    }
}
