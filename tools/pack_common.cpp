// velkan-pack: reporting, numbers and texts, and reading containers.
#include "pack.h"

#include "ident.h"
#include "velkan_internal.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

namespace pack {

namespace {

int warning_count;

} // namespace

void warn(const std::string &text) {
    warning_count++;
    fprintf(stderr, "velkan-pack: warning: %s\n", text.c_str());
}

int warnings() {
    return warning_count;
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

uint32_t parse_number(const std::string &text, uint32_t max, const std::string &what,
                      bool binary_suffix) {
    std::string bad = "bad " + what + " '" + text + "': a number from 0 to " + std::to_string(max) +
                      (binary_suffix ? " (or with K, M, G)" : "") + " expected";
    if (text.empty() || !isdigit(static_cast<unsigned char>(text[0])))
        throw usage_error(bad);
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
        throw usage_error(bad);
    value <<= shift;
    return static_cast<uint32_t>(value);
}

std::string hex16(uint16_t value) {
    char text[8];
    snprintf(text, sizeof text, "0x%04x", value);
    return text;
}

std::string hex32(uint32_t value) {
    char text[12];
    snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

std::string shown(const std::string &text) {
    std::vector<char> out(velkan_printable_size(text.size()));
    return velkan_printable(text.data(), text.size(), out.data(), out.size());
}

container open_container(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) < 0)
        throw failure(path + ": " + strerror(errno));
    if (!S_ISREG(st.st_mode))
        throw failure(path + ": not a regular file; containers are read from regular files "
                             "only (not from pipes or devices)");
    container set(static_cast<image_set *>(calloc(1, sizeof(image_set))));
    if (!set)
        throw failure("out of memory");
    // The reader's reports name the tool and the file while it reads the headers.
    velkan_report_as(("velkan-pack: " + path + ": ").c_str());
    if (image_open(set.get(), path.c_str()) < 0)
        set.reset();
    velkan_report_as("velkan-pack: ");
    return set;
}

std::string field(const void *bytes, size_t width) {
    const char *text = static_cast<const char *>(bytes);
    const void *nul = memchr(text, 0, width);
    return {text, nul ? static_cast<size_t>(static_cast<const char *>(nul) - text) : width};
}

std::string name_of(const subimage *img) {
    return field(img->name, sizeof img->name);
}

std::string version_in(subblock *list, bool *present) {
    subblock *sb = subblock_find(list, velkan_type_version, 0);
    if (present)
        *present = sb != nullptr;
    return sb ? field(sb->data, sb->len) : std::string();
}

int number_of(const image_set *set, const subimage *img) {
    int number = 1;
    for (const subimage *i = set->subimages; i && i != img; i = i->next)
        number++;
    return number;
}

std::vector<valid_for> valid_for_of(subimage *img) {
    std::vector<valid_for> list;
    for (int n = 0; subblock *sb = subblock_find(img->subblocks, velkan_type_valid_for, n); n++) {
        int builds = velkan_valid_for_builds(sb);
        if (builds < 0)
            continue;
        valid_for v{field(velkan_valid_for_product(sb), velkan_product_width), {}};
        for (int i = 0; i < builds; i++)
            v.hw_builds.push_back(field(velkan_valid_for_build(sb, i), velkan_hw_build_width));
        list.push_back(v);
    }
    return list;
}

std::vector<device> devices_of(subimage *img) {
    std::vector<device> devices;
    for (const auto &v : valid_for_of(img)) {
        if (v.hw_builds.empty())
            devices.push_back({v.product, ""});
        for (const auto &hw : v.hw_builds)
            devices.push_back({v.product, hw});
    }
    if (!subblock_find(img->subblocks, velkan_type_valid_for, 0))
        devices.push_back({"", ""});
    return devices;
}

std::string device_text(const device &d) {
    if (d.product.empty())
        return "every device";
    return d.hw.empty() ? "every " + shown(d.product) + " device"
                        : shown(d.product) + ":" + shown(d.hw);
}

subimage *picked(image_set *set, const device &d, const char *name) {
    hw_ident ident = {const_cast<char *>(d.product.c_str()), const_cast<char *>(d.hw.c_str())};
    return image_find_component(set, &ident, name);
}

bool partitions_of(subimage *img, std::vector<velkan_partition> *entries) {
    subblock *sb = subblock_find(img->subblocks, velkan_type_partitions, 0);
    if (!sb)
        return true;
    int64_t count = velkan_partition_count(sb);
    if (count < 0)
        return false;
    for (uint32_t i = 0; i < count; i++)
        entries->push_back(velkan_partition_at(sb, i));
    return true;
}

} // namespace pack
