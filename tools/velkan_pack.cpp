// velkan-pack: builds VELKAN firmware containers and lists what one holds.
//
//   velkan-pack create OUT [--release VERSION] IMAGE-DEF...
//   velkan-pack list FILE [-v...]
//
// Exit status: 0 on success, 1 when a file cannot be read or written or the
// container is malformed, 2 on a usage error.
#include "velkan_writer.h"

#include "log.h"
#include "velkan.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace vw = velkan_writer;

const char usage_text[] = "Usage: velkan-pack create OUT [--release VERSION] IMAGE-DEF...\n"
                          "       velkan-pack list FILE [-v...]\n"
                          "IMAGE-DEF: NAME=FILE[,version=V][,valid=PRODUCT[:HW[:HW...]]]...\n"
                          "            [,partition=TYPE:MODE:SIZE]...\n";

struct usage_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void usage(const std::string &complaint) {
    if (!complaint.empty())
        fprintf(stderr, "velkan-pack: %s\n", complaint.c_str());
    fputs(usage_text, stderr);
    exit(2);
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

// A whole unsigned number (decimal, 0x hexadecimal or 0 octal) up to max.
uint32_t parse_number(const std::string &text, uint32_t max, const std::string &what) {
    if (text.empty() || !isdigit(static_cast<unsigned char>(text[0])))
        throw usage_error("bad " + what + " '" + text + "'");
    errno = 0;
    char *end = nullptr;
    unsigned long long value = strtoull(text.c_str(), &end, 0);
    if (errno || *end || value > max)
        throw usage_error("bad " + what + " '" + text + "'");
    return static_cast<uint32_t>(value);
}

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
        const std::string &field = fields[i];
        size_t at = field.find('=');
        if (at == std::string::npos)
            throw usage_error("bad image '" + text + "': '" + field + "' is not KEY=VALUE");
        std::string key = field.substr(0, at);
        std::string value = field.substr(at + 1);
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

int create(const std::vector<std::string> &args) {
    if (args.empty() || args[0].empty() || args[0][0] == '-')
        usage("create: no output file");
    vw::container box;
    std::vector<std::string> image_texts;
    for (size_t i = 1; i < args.size(); i++) {
        if (args[i] == "--release") {
            if (i + 1 == args.size())
                usage("--release needs a VERSION");
            box.release = args[++i];
        } else if (!args[i].empty() && args[i][0] == '-') {
            usage("unknown option '" + args[i] + "'");
        } else {
            image_texts.push_back(args[i]);
        }
    }
    if (image_texts.empty())
        usage("create: no IMAGE-DEF");
    std::vector<std::string> files;
    try {
        for (const auto &text : image_texts) {
            image_argument arg = parse_image_argument(text);
            // The limits are checked before any file is read.
            arg.image.subblocks();
            box.images.push_back(arg.image);
            files.push_back(arg.file);
        }
        box.encode();
    } catch (const std::exception &e) {
        usage(e.what());
    }
    try {
        for (size_t i = 0; i < box.images.size(); i++)
            box.images[i].data = vw::read_file(files[i]);
        vw::write_file(args[0], box.encode());
    } catch (const std::exception &e) {
        fprintf(stderr, "velkan-pack: %s\n", e.what());
        return 1;
    }
    return 0;
}

int list(const std::vector<std::string> &args) {
    const char *path = nullptr;
    verbosity = 1;
    for (const auto &arg : args) {
        if (arg.size() >= 2 && arg[0] == '-' && arg.find_first_not_of('v', 1) == std::string::npos)
            verbosity += static_cast<int>(arg.size()) - 1;
        else if (!arg.empty() && arg[0] == '-')
            usage("unknown option '" + arg + "'");
        else if (path)
            usage("list: more than one FILE");
        else
            path = arg.c_str();
    }
    if (!path)
        usage("list: no FILE");
    // Held until the process ends, as the flasher holds its own.
    static image_set *set;
    set = static_cast<image_set *>(calloc(1, sizeof(image_set)));
    if (!set) {
        perror("malloc");
        return 1;
    }
    if (image_open(set, path) < 0)
        return 1;
    unsigned count = 0;
    for (subimage *img = set->subimages; img; img = img->next) {
        count++;
        log_printf(2, "'%.12s': data at offset %u, %u bytes (%u with filler), checksum 0x%04x",
                   img->name, img->data_offset, img->data_size, img->size, img->checksum);
    }
    log_printf(1, "%u image(s) in %u bytes", count, set->file_size);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2)
        usage("");
    std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "create")
        return create(args);
    if (command == "list")
        return list(args);
    if (command == "--help" || command == "-h") {
        fputs(usage_text, stdout);
        return 0;
    }
    usage("unknown command '" + command + "'");
}
