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
// binary_suffix, K, M or G multiply it by 1024, 1024^2 or 1024^3.
uint32_t parse_number(const std::string &text, uint32_t max, const std::string &what,
                      bool binary_suffix = false);
std::string hex16(uint16_t value);
std::string hex32(uint32_t value);

// A container as the flasher reads it, released with image_set_free.
struct set_free {
    void operator()(image_set *set) const {
        image_set_free(set);
    }
};
using container = std::unique_ptr<image_set, set_free>;
// The container at path, or null after the reader's report.
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
// The entries of the image's first partition subblock: false when it is malformed.
bool partitions_of(subimage *img, std::vector<velkan_partition> *entries);

int create(const std::string &out, const std::string &release,
           const std::vector<std::string> &image_texts);
int list(const std::string &path, int extra_verbosity, bool json);
int verify(const std::string &path);
int check(const std::string &path, const std::string &product, const std::string &hw,
          const std::vector<std::string> &only, const std::vector<std::string> &partition_texts);
int extract(const std::string &path, const std::string &name, const std::string &out,
            const std::string &product, const std::string &hw);

} // namespace pack
