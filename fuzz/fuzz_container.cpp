// A whole container through the reader, then component selection and a full
// read of what is selected.
#include "fuzz_file.h"
#include "ident.h"
#include "velkan.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The reader's records live for the whole run by design; leak checking is
    // off for this target (see scripts/fuzz.sh).
    image_set *set = static_cast<image_set *>(calloc(1, sizeof(image_set)));
    if (image_open(set, fuzz_input_file(data, size)) != 0)
        return 0;
    const hw_ident device = {const_cast<char *>("PX100"), const_cast<char *>("B2")};
    for (const char *name : {"kernel", "initfs"}) {
        subimage *img = image_find_component(set, &device, name);
        if (img && img->size <= size) {
            std::vector<uint8_t> buffer(img->size + 1);
            velkan_read_bytes(img, 0, buffer.data(), img->size);
        }
    }
    for (subimage *img = set->subimages; img; img = img->next)
        if (img->fd >= 0)
            close(img->fd);
    return 0;
}
