// velkan-pack check: which kernel and initfs a device gets, and whether they
// fit its partitions by the rules the flasher applies to the ones it opens.
#include "pack.h"

#include "geometry.h"

#include <nlohmann/json.hpp>

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>

namespace pack {

namespace {

using json = nlohmann::ordered_json;

struct partition_geometry {
    uint32_t size, erasesize, bad_blocks;
    uint32_t write_size; // 0: not given
};

bool power_of_two(uint32_t value) {
    return value && (value & (value - 1)) == 0;
}

// NAME=SIZE:ERASESIZE[:BADBLOCKS[:PAGESIZE]], sizes with an optional K, M or G.
partition_geometry parse_partition(const std::string &text, std::string *name) {
    size_t eq = text.find('=');
    std::vector<std::string> pieces = split(text.substr(eq == std::string::npos ? 0 : eq + 1), ':');
    *name = text.substr(0, eq);
    std::string bad = "bad partition '" + text + "': ";
    if (eq == std::string::npos || (*name != "kernel" && *name != "initfs") || pieces.size() < 2 ||
        pieces.size() > 4)
        throw usage_error(bad + "kernel= or initfs=SIZE:ERASESIZE[:BADBLOCKS[:PAGESIZE]] expected");
    partition_geometry g = {
        parse_number(pieces[0], 0xFFFFFFFFu, "size", true),
        parse_number(pieces[1], 0xFFFFFFFFu, "erase size", true),
        pieces.size() > 2 ? parse_number(pieces[2], 0xFFFFFFFFu, "count") : 0,
        pieces.size() > 3 ? parse_number(pieces[3], 0xFFFFFFFFu, "page size", true) : 0};
    if (!power_of_two(g.erasesize))
        throw usage_error(bad + "the erase size is not a power of two");
    if (g.size == 0 || g.size % g.erasesize)
        throw usage_error(bad + "the size is not a whole number of erase blocks");
    if (g.bad_blocks > g.size / g.erasesize)
        throw usage_error(bad + "more bad blocks than blocks");
    if (pieces.size() > 3 && !power_of_two(g.write_size))
        throw usage_error(bad + "the page size is not a power of two");
    return g;
}

bool checked(const check_options &o, const std::string &name) {
    return o.only.empty() || std::find(o.only.begin(), o.only.end(), name) != o.only.end();
}

std::map<std::string, partition_geometry> parse_partitions(const check_options &o) {
    std::map<std::string, partition_geometry> map;
    for (const auto &text : o.partitions) {
        std::string name;
        partition_geometry g = parse_partition(text, &name);
        if (!checked(o, name))
            throw usage_error("partition " + name + " given, but --only leaves " + name + " out");
        if (!map.insert({name, g}).second)
            throw usage_error("partition " + name + " given twice");
    }
    return map;
}

// A component on a partition, reckoned as the flasher reckons it.
struct fit_result {
    std::string refused; // why the flasher refuses the partition, or empty
    uint32_t page_size;
    uint64_t usable, length;
    bool fits;
};

fit_result fit(const subimage *img, bool kernel, const partition_geometry &g) {
    fit_result f;
    char problem[128] = "";
    if (!geometry_supported(g.erasesize, g.write_size, problem, sizeof problem))
        f.refused = problem;
    f.page_size = geometry_page_size(g.erasesize);
    f.usable = geometry_usable_size(g.erasesize, g.size / g.erasesize - g.bad_blocks);
    f.length = geometry_component_length(img->size, kernel, f.page_size);
    f.fits = f.refused.empty() && geometry_fits(f.length, f.usable);
    return f;
}

std::string fit_text(const fit_result &f, bool kernel) {
    if (!f.refused.empty())
        return "the flasher refuses the partition: " + f.refused;
    return std::to_string(f.length) + " bytes" +
           (kernel ? " with the " + std::to_string(f.page_size) + "-byte header page" : "") +
           " in " + std::to_string(f.usable) + " usable: " + (f.fits ? "fits" : "does not fit");
}

// One component for one device.
struct component {
    std::string name;
    subimage *img; // null: none
    const partition_geometry *partition;
    fit_result fit;
    bool ok;
};

std::vector<component> components_for(const check_options &o, image_set *set, const device &d,
                                      const std::map<std::string, partition_geometry> &parts) {
    std::vector<component> list;
    for (const char *name : {"kernel", "initfs"}) {
        if (!checked(o, name))
            continue;
        component c = {name, picked(set, d, name), nullptr, {}, false};
        auto g = parts.find(name);
        if (c.img && g != parts.end()) {
            c.partition = &g->second;
            c.fit = fit(c.img, c.name == "kernel", g->second);
        }
        c.ok = c.img && (!c.partition || c.fit.fits);
        list.push_back(c);
    }
    return list;
}

// "kernel: image 1, 130560 bytes, version V; ..." for one device.
std::string component_line(image_set *set, const device &d, const component &c) {
    if (!c.img)
        return c.name + ": none for " + device_text(d);
    bool has_version;
    std::string version = version_in(c.img->subblocks, &has_version);
    return c.name + ": image " + std::to_string(number_of(set, c.img)) + ", " +
           std::to_string(c.img->size) + " bytes" +
           (has_version ? ", version " + shown(version) : "") + "; " +
           (c.partition ? fit_text(c.fit, c.name == "kernel") : "partition not given");
}

// "kernel image 1 (fits)" for the line of one device among all.
std::string component_word(image_set *set, const component &c) {
    if (!c.img)
        return c.name + " none";
    std::string verdict = !c.partition             ? ""
                          : !c.fit.refused.empty() ? " (partition refused)"
                          : c.fit.fits             ? " (fits)"
                                                   : " (does not fit)";
    return c.name + " image " + std::to_string(number_of(set, c.img)) + verdict;
}

json component_json(image_set *set, const component &c) {
    json partition;
    if (c.partition) {
        const partition_geometry &g = *c.partition;
        partition = {{"size", g.size},
                     {"erasesize", g.erasesize},
                     {"bad_blocks", g.bad_blocks},
                     {"page_size", g.write_size ? json(g.write_size) : json()},
                     {"refused", c.fit.refused.empty() ? json() : json(c.fit.refused)},
                     {"program_page_size", c.fit.page_size},
                     {"usable", c.fit.usable},
                     {"length", c.fit.length},
                     {"fits", c.fit.fits}};
    }
    bool has_version = false;
    std::string version = c.img ? version_in(c.img->subblocks, &has_version) : "";
    return {{"name", c.name},
            {"image", c.img ? json(number_of(set, c.img)) : json()},
            {"size", c.img ? json(c.img->size) : json()},
            {"version", has_version ? json(version) : json()},
            {"partition", partition},
            {"ok", c.ok}};
}

// The devices the container names, in the order it names them first; every
// device when it names none.
std::vector<device> named_devices(image_set *set) {
    std::vector<device> devices;
    for (subimage *img = set->subimages; img; img = img->next)
        for (const device &d : devices_of(img))
            if (!d.product.empty() &&
                std::none_of(devices.begin(), devices.end(), [&](const device &e) {
                    return e.product == d.product && e.hw == d.hw;
                }))
                devices.push_back(d);
    if (devices.empty())
        devices.push_back({"", ""});
    return devices;
}

} // namespace

int check(const check_options &o) {
    if (!o.all && (o.product.empty() || o.hw.empty()))
        throw usage_error("--product and --hw, neither empty, or --all required");
    std::map<std::string, partition_geometry> parts = parse_partitions(o);
    container set = open_container(o.file);
    if (!set)
        return 1;
    std::vector<device> devices =
        o.all ? named_devices(set.get()) : std::vector<device>{{o.product, o.hw}};
    json docs = json::array();
    bool all_ok = true;
    for (const device &d : devices) {
        std::vector<component> list = components_for(o, set.get(), d, parts);
        json doc = {{"product", d.product.empty() ? json() : json(d.product)},
                    {"hw", d.hw.empty() ? json() : json(d.hw)},
                    {"components", json::array()}};
        bool ok = true;
        std::string line = device_text(d) + ":";
        for (const component &c : list) {
            ok = ok && c.ok;
            doc["components"].push_back(component_json(set.get(), c));
            if (o.json)
                continue;
            if (o.all)
                line += (&c == &list.front() ? " " : ", ") + component_word(set.get(), c);
            else
                printf("%s\n", component_line(set.get(), d, c).c_str());
        }
        if (o.all && !o.json)
            printf("%s\n", line.c_str());
        doc["ok"] = ok;
        docs.push_back(doc);
        all_ok = all_ok && ok;
    }
    if (o.json)
        printf("%s\n", json({{"devices", docs}, {"ok", all_ok}})
                           .dump(2, ' ', false, json::error_handler_t::replace)
                           .c_str());
    return all_ok ? 0 : 1;
}

} // namespace pack
