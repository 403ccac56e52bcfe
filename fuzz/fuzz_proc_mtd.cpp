// The partition table reader.
#include "fuzz_file.h"
#include "nand.h"

#include <initializer_list>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *path = fuzz_input_file(data, size);
    for (const char *name : {"kernel", "initfs", ""})
        if (mtd_find_partition_in(path, name) < -1)
            abort();
    return 0;
}
