// A whole container through the reader, then component selection for a few
// devices and a full read of what is selected.
#include "fuzz_file.h"
#include "ident.h"
#include "velkan.h"

#include <stdlib.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    image_set *set = static_cast<image_set *>(calloc(1, sizeof(image_set)));
    if (image_open(set, fuzz_input_file(data, size)) == 0) {
        hw_ident devices[] = {
            {nullptr, nullptr},
            {const_cast<char *>("PX100"), nullptr},
            {const_cast<char *>("PX100"), const_cast<char *>("B2")},
            {const_cast<char *>("ABCDEFGHIJKLMNOPQRSTUV"), const_cast<char *>("12345678")},
        };
        for (const hw_ident &device : devices) {
            const char *const names[] = {"kernel", "initfs"};
            for (const char *name : names) {
                subimage *img = image_find_component(set, &device, name);
                if (!img || img->size > size)
                    continue;
                uint8_t *buffer = static_cast<uint8_t *>(malloc(img->size + 1));
                velkan_read_bytes(img, 0, buffer, img->size);
                free(buffer);
            }
        }
        for (subimage *img = set->subimages; img; img = img->next) {
            if (img->fd >= 0)
                close(img->fd);
        }
    }
    // The reader's records live for the whole run by design; leak checking is
    // off for this target (see scripts/fuzz.sh).
    return 0;
}
