// velkan-pack check: which kernel and initfs a device gets, and whether they
// fit its partitions by the rules the flasher applies to the ones it opens.
#include "pack.h"

#include "geometry.h"
#include "ident.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>

namespace pack {

namespace {

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

// Whether the component fits the partition by the flasher's geometry rules. A
// text for the report; *fits tells the verdict.
std::string fit(const subimage *img, bool kernel, const partition_geometry &g, bool *fits) {
    uint32_t page_size = geometry_page_size(g.erasesize);
    *fits = false;
    if (!geometry_whole_pages(g.erasesize, page_size))
        return "erase size " + std::to_string(g.erasesize) + " does not hold whole " +
               std::to_string(page_size) + "-byte pages: the flasher refuses the partition";
    uint64_t usable = geometry_usable_size(g.erasesize, g.size / g.erasesize - g.bad_blocks);
    uint64_t length = geometry_component_length(img->size, kernel, page_size);
    *fits = geometry_fits(length, usable);
    return std::to_string(length) + " bytes" +
           (kernel ? " with the " + std::to_string(page_size) + "-byte header page" : "") + " in " +
           std::to_string(usable) + " usable: " + (*fits ? "fits" : "does not fit");
}

} // namespace

int check(const std::string &path, const std::string &product, const std::string &hw,
          const std::vector<std::string> &only, const std::vector<std::string> &partition_texts) {
    std::map<std::string, partition_geometry> partitions = parse_partitions(partition_texts);
    container set = open_container(path);
    if (!set)
        return 1;
    hw_ident ident = {const_cast<char *>(product.c_str()), const_cast<char *>(hw.c_str())};
    int status = 0;
    for (const char *name : {"kernel", "initfs"}) {
        if (!only.empty() && std::find(only.begin(), only.end(), name) == only.end())
            continue;
        subimage *img = image_find_component(set.get(), &ident, name);
        if (!img) {
            printf("%s: none for %s:%s\n", name, product.c_str(), hw.c_str());
            complain(std::string("no ") + name + " image for " + product + ":" + hw);
            status = 1;
            continue;
        }
        int number = number_of(set.get(), img);
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

} // namespace pack
