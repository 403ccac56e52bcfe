// velkan-pack create: a container from image files. The inputs are copied
// through a small buffer into a temporary file beside OUT, their headers
// written again once their sizes and check values are known; the file is read
// back with the flasher's reader before it replaces OUT.
#include "pack.h"

#include "output_file.h"
#include "velkan_writer.h"

#include "owners.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace pack {

namespace {

namespace vw = velkan_writer;

// The largest container: sizes and offsets are 32-bit.
constexpr uint64_t max_file_size = 0xFFFFFFFFu;

struct image_argument {
    vw::image image; // without its data
    std::string file;
};

std::vector<std::string> pieces_of(const std::string &value, size_t count,
                                   const std::string &what) {
    std::vector<std::string> pieces = split(value, ':');
    if (pieces.size() != count)
        throw usage_error("bad partition '" + value + "': " + what + " expected");
    return pieces;
}

// One KEY=VALUE of an image definition into image.
void apply_key(vw::image &image, const std::string &text, const std::string &key_value) {
    size_t at = key_value.find('=');
    if (at == std::string::npos)
        throw usage_error("bad image '" + text + "': '" + key_value + "' is not KEY=VALUE");
    std::string key = key_value.substr(0, at);
    std::string value = key_value.substr(at + 1);
    if (key == "version") {
        if (!image.version.empty())
            throw usage_error("bad image '" + text + "': version given twice");
        image.version = value;
    } else if (key == "valid") {
        std::vector<std::string> pieces = split(value, ':');
        image.valid.push_back({pieces[0], {pieces.begin() + 1, pieces.end()}});
    } else if (key == "partition") {
        std::vector<std::string> pieces = pieces_of(value, 3, "TYPE:MODE:SIZE");
        image.partitions.push_back({static_cast<uint8_t>(parse_number(pieces[0], 255, "type")),
                                    static_cast<uint8_t>(parse_number(pieces[1], 255, "mode")),
                                    parse_number(pieces[2], 0xFFFFFFFFu, "size", true)});
    } else {
        throw usage_error("bad image '" + text + "': unknown key '" + key + "'");
    }
}

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
    for (size_t i = 1; i < fields.size(); i++)
        apply_key(arg.image, text, fields[i]);
    return arg;
}

bool has_space(const std::string &text) {
    for (unsigned char c : text)
        if (isspace(c))
            return true;
    return false;
}

bool has_control(const std::string &text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F)
            return true;
    return false;
}

// Warns about texts that are printed escaped, and codes that
// "/proc/component_version" cannot hold.
void warn_about_texts(const std::string &which, const vw::image &image) {
    if (has_control(image.name) || has_control(image.version))
        warn(which + ": name or version holds control characters");
    for (const auto &v : image.valid) {
        std::vector<std::string> codes = v.hw_builds;
        codes.insert(codes.begin(), v.product);
        for (size_t i = 0; i < codes.size(); i++)
            if (has_space(codes[i]))
                warn(which + ": " + (i ? "HW build '" : "product '") + shown(codes[i]) +
                     "' holds white space and never matches /proc/component_version");
    }
}

// Warns about what the flasher would never use: names other than kernel and
// initfs, odd texts, and devices for which the flasher's selection picks an
// earlier image of the same name.
void warn_about(const std::vector<image_argument> &args, image_set *set) {
    int number = 0;
    for (subimage *img = set->subimages; img; img = img->next) {
        const vw::image &image = args.at(static_cast<size_t>(number)).image;
        std::string which = "image " + std::to_string(++number) + " '" + shown(image.name) + "'";
        if (image.name != "kernel" && image.name != "initfs")
            warn(which + ": the flasher flashes only kernel and initfs");
        warn_about_texts(which, image);
        for (const device &d : devices_of(img)) {
            subimage *chosen = picked(set, d, name_of(img).c_str());
            if (chosen != img)
                warn(which + " is never flashed on " + device_text(d) +
                     ": the flasher picks image " +
                     (chosen ? std::to_string(number_of(set, chosen)) : "none") + " there");
        }
    }
}

// Refuses, before anything is read or written, an input that is neither a
// regular file nor a pipe, or that is larger than an image may be; adds the
// container's length as far as the sizes are known.
void check_input(const image_argument &arg, const std::string &out, uint64_t *length) {
    struct stat st;
    if (stat(arg.file.c_str(), &st) < 0)
        throw failure(arg.file + ": " + strerror(errno));
    if (same_file(arg.file, out))
        throw failure(out + ": is also an input; not overwritten");
    if (S_ISFIFO(st.st_mode))
        return;
    if (!S_ISREG(st.st_mode))
        throw failure(arg.file + ": not a regular file or a pipe");
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (size > velkan_max_data_size)
        throw failure(arg.file + ": " + std::to_string(size) + " bytes, more than the " +
                      std::to_string(velkan_max_data_size) + " an image may hold");
    *length += size + vw::filler(size).size();
    if (*length > max_file_size)
        throw failure("the container would be larger than " + std::to_string(max_file_size) +
                      " bytes");
}

// Copies the input behind the image's header into file, with its filler.
vw::data_summary copy_input(const std::string &path, output_file &file) {
    descriptor input(open(path.c_str(), O_RDONLY));
    if (input.get() < 0)
        throw failure(path + ": " + strerror(errno));
    vw::data_digest digest;
    std::vector<char> chunk(chunk_size);
    for (;;) {
        ssize_t got = read(input.get(), chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw failure(path + ": " + strerror(errno));
        if (got == 0)
            break;
        digest.add(chunk.data(), static_cast<size_t>(got));
        if (digest.size() > velkan_max_data_size || file.size() + got > max_file_size)
            throw failure(path + ": more than the format allows (" +
                          std::to_string(velkan_max_data_size) + " bytes an image, " +
                          std::to_string(max_file_size) + " a container)");
        file.write(chunk.data(), static_cast<size_t>(got));
    }
    file.write(vw::filler(digest.size()));
    return digest.finish();
}

// The whole container into file: each header first with blank values, written
// again once its data has been copied.
void write_container(const vw::container &box, const std::vector<image_argument> &args,
                     output_file &file) {
    file.write(box.header(0));
    for (size_t i = 0; i < args.size(); i++) {
        const vw::image &image = box.images[i];
        uint64_t at = file.size();
        std::string blank = image.header({});
        file.write(blank);
        vw::data_summary sum = copy_input(args[i].file, file);
        std::string header = image.header(sum);
        if (header.size() != blank.size())
            throw std::logic_error("image header changed its length");
        file.write_at(at, header);
        if (sum.size == 0)
            warn("image " + std::to_string(i + 1) + " '" + shown(image.name) +
                 "': " + args[i].file + " is empty");
    }
    file.write_at(0, box.header(file.size()));
}

} // namespace

int create(const create_options &options) {
    vw::container box;
    box.release = options.release;
    box.signable = options.signable || !options.sign_key.empty();
    std::vector<image_argument> args;
    uint64_t length = 0;
    try {
        for (const auto &text : options.images) {
            args.push_back(parse_image_argument(text));
            args.back().image.digest = box.signable;
            // The limits are checked before any file is read.
            length += args.back().image.header({}).size();
            box.images.push_back(args.back().image);
        }
        length += box.header(0).size();
    } catch (const std::invalid_argument &e) {
        throw usage_error(e.what());
    }
    if (has_control(options.release))
        warn("the release version holds control characters");
    for (const auto &arg : args)
        check_input(arg, options.out, &length);
    output_file file(options.out);
    write_container(box, args, file);
    if (!options.sign_key.empty())
        sign_into(file, vw::signature_offset(box.header(0)), options.out, options.sign_key);
    file.finish();
    container set = open_container(file.temp_path());
    if (!set)
        throw failure(options.out + ": the flasher's reader refuses what was written");
    warn_about(args, set.get());
    if (options.strict && warnings() > 0)
        throw failure(options.out + ": not written: " + std::to_string(warnings()) +
                      " warning(s) with --strict");
    file.commit();
    return 0;
}

} // namespace pack
