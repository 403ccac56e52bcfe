// The partition table reader.
#include "fuzz_file.h"
#include "nand.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *path = fuzz_input_file(data, size);
    const char *const names[] = {"kernel", "initfs", "", "NAND simulator partition 1"};
    for (const char *name : names) {
        int number = mtd_find_partition_in(path, name);
        if (number < -1)
            abort();
    }
    return 0;
}
