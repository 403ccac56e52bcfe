// The kernel's text files as the tool reads them: the identity file, the -h
// override splitter and the partition table.
#include "fuzz_file.h"
#include "ident.h"
#include "nand.h"

#include <string.h>

#include <initializer_list>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *path = fuzz_input_file(data, size);
    hw_ident ident = {};
    read_hw_ident_from(&ident, path);
    char *argument = strndup(reinterpret_cast<const char *>(data), size);
    parse_hw_override(argument, &ident.product, &ident.hw_build);
    for (const char *name : {"kernel", "initfs", ""})
        if (mtd_find_partition_in(path, name) < -1)
            abort();
    free(ident.product);
    free(ident.hw_build);
    free(argument);
    return 0;
}
