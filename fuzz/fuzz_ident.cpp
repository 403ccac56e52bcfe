// The identity file reader and the -h override splitter.
#include "fuzz_file.h"
#include "ident.h"

#include <string.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    hw_ident ident = {};
    read_hw_ident_from(&ident, fuzz_input_file(data, size));
    char *argument = strndup(reinterpret_cast<const char *>(data), size);
    parse_hw_override(argument, &ident.product, &ident.hw_build);
    free(ident.product);
    free(ident.hw_build);
    free(argument);
    return 0;
}
