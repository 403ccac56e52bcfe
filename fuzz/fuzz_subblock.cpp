// The subblock decoder, walking a buffer as the readers do.
#include "velkan.h"

#include <stdlib.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    subblock *list = nullptr;
    for (int remaining = static_cast<int>(size), used; remaining > 0; remaining -= used) {
        used = subblock_parse(&list, data + size - remaining, remaining);
        if (used < 0)
            break;
        if (used < 2 || used > remaining)
            abort();
    }
    while (list) {
        subblock *next = list->next;
        free(list->data);
        free(list);
        list = next;
    }
    return 0;
}
