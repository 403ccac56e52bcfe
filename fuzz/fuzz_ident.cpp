// The identity file reader and the -h override splitter.
#include "fuzz_file.h"
#include "ident.h"
#include "log.h"

#include <string.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    hw_ident ident = {};
    read_hw_ident_from(&ident, fuzz_input_file(data, size));
    free(ident.product);
    free(ident.hw_build);

    char *argument = strndup(reinterpret_cast<const char *>(data), size);
    char *product = nullptr;
    char *hw_build = nullptr;
    if (parse_hw_override(argument, &product, &hw_build) == 0) {
        if (!product || !product[0] || strchr(product, ':'))
            abort();
        if (hw_build && (!hw_build[0] || strchr(hw_build, ':')))
            abort();
    } else if (product || hw_build) {
        abort();
    }
    free(product);
    free(hw_build);
    free(argument);
    return 0;
}
