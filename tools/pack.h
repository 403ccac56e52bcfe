// velkan-pack: what its commands share. The containers are read with the
// flasher's own reader, data access and component selection, and decoded with
// the format's own decoders (velkan_format.h).
#pragma once

#include "velkan.h"

#include <stdint.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace pack {

// Complaints about the command line: status 2 with the command's synopsis.
struct usage_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Failures that end a command with status 1.
struct failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Image data is read through this much memory at a time.
constexpr uint32_t chunk_size = 131072;

// "velkan-pack: warning: " and the text, on stderr; counted by warnings().
void warn(const std::string &text);
int warnings();
// "velkan-pack: " and the text, on stderr.
void complain(const std::string &text);

std::vector<std::string> split(const std::string &text, char separator);
// A whole unsigned number (decimal, 0x hexadecimal or 0 octal) up to max; with
// binary_suffix, K, M or G multiply it by 1024, 1024^2 or 1024^3. A usage error
// names what and the range otherwise.
uint32_t parse_number(const std::string &text, uint32_t max, const std::string &what,
                      bool binary_suffix = false);
std::string hex16(uint16_t value);
std::string hex32(uint32_t value);

// A text of a container, or one bound for it, as velkan-pack prints it: control
// characters as \xNN (the flasher's log does the same).
std::string shown(const std::string &text);

// A container as the flasher reads it, released with image_set_free.
struct set_free {
    void operator()(image_set *set) const {
        image_set_free(set);
    }
};
using container = std::unique_ptr<image_set, set_free>;
// The container at path, or null after a report that names velkan-pack and
// the file. Only regular files are read: a pipe cannot be read twice.
container open_container(const std::string &path);

// A NUL-padded text field of the container, as it stands.
std::string field(const void *bytes, size_t width);
std::string name_of(const subimage *img);
// The first version subblock of the list, or empty; *present tells which.
std::string version_in(subblock *list, bool *present = nullptr);
// The image's number in the container, from 1.
int number_of(const image_set *set, const subimage *img);

// One product / HW rev subblock: a product, and the HW builds it names (none:
// every HW build of the product).
struct valid_for {
    std::string product;
    std::vector<std::string> hw_builds;
};
// The image's well-formed product / HW rev subblocks.
std::vector<valid_for> valid_for_of(subimage *img);
// A device as a product / HW rev list names it. An empty HW build stands for
// the HW builds of the product that the list does not name, an empty product
// for every device.
struct device {
    std::string product, hw;
};
// The devices the image names; {"", ""} when it names none.
std::vector<device> devices_of(subimage *img);
// "P:H", "every P device", "every device".
std::string device_text(const device &d);
// The image of the name that the flasher picks for the device, or null.
subimage *picked(image_set *set, const device &d, const char *name);
// The entries of the image's first partition subblock: false when it is malformed.
bool partitions_of(subimage *img, std::vector<velkan_partition> *entries);

struct create_options {
    std::string out, release;
    std::vector<std::string> images; // IMAGE-DEF texts
    bool strict = false;             // warnings fail the command
    bool signable = false;           // digests and an empty signature slot
    std::string sign_key;            // a signify secret key to sign with (implies signable)
};
struct check_options {
    std::string file, product, hw;
    bool all = false; // every device the container names
    std::vector<std::string> only, partitions;
    bool json = false;
};

int create(const create_options &options);
int list(const std::string &path, int extra_verbosity, bool json);
int verify(const std::string &path, bool json, const std::string &key_path);
int check(const check_options &options);
// Signing (pack_sign.cpp). A container can be signed when its file header
// has an extent and a signature slot, and every image a digest; a failure otherwise.
class output_file;
void require_signable(image_set *set, const std::string &path);
// Signs the container being written to file, whose slot is at slot_at.
void sign_into(output_file &file, size_t slot_at, const std::string &path,
               const std::string &key_path);
int manifest(const std::string &path, const std::string &out);
// With the signature that signify made (a file), or made with a secret key.
int sign(const std::string &path, const std::string &signature, const std::string &key_path);
// The signature's line of verify --key; *ok tells whether it is good, and
// (with complaint) a line on stderr says what is wrong otherwise.
std::string signature_check(image_set *set, const std::string &path, const std::string &key_path,
                            bool complaint, bool *ok);

int extract(const std::string &path, const std::string &name, const std::string &out,
            const std::string &product, const std::string &hw);

} // namespace pack
