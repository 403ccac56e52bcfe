// velkan-pack create: a container from image files, written through a
// temporary file and read back with the flasher's reader before it replaces OUT.
#include "pack.h"

#include "output_file.h"
#include "velkan_writer.h"

#include "ident.h"

#include <ctype.h>

#include <string>
#include <utility>
#include <vector>

namespace pack {

namespace {

namespace vw = velkan_writer;

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

} // namespace

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
    container set = open_container(file.temp_path());
    if (!set)
        throw failure(out + ": the flasher's reader refuses what was written");
    warn_about(args, set.get());
    file.commit();
    return 0;
}

} // namespace pack
