// The subblock decoder, walking a buffer as the readers do.
#include "velkan.h"

#include <stdlib.h>
#include <string.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 4096)
        return 0;
    subblock *list = nullptr;
    int remaining = static_cast<int>(size);
    const uint8_t *at = data;
    int records = 0;
    while (remaining > 0) {
        int used = subblock_parse(&list, at, remaining);
        if (used < 0)
            break;
        if (used < 2 || used > remaining)
            abort();
        at += used;
        remaining -= used;
        records++;
    }
    // Every record holds what the buffer held.
    at = data;
    int seen = 0;
    for (subblock *s = list; s; s = s->next, seen++) {
        if (s->type != at[0] || s->len != at[1] || memcmp(s->data, at + 2, s->len) != 0)
            abort();
        at += s->len + 2;
    }
    if (seen != records)
        abort();
    while (list) {
        subblock *next = list->next;
        free(list->data);
        free(list);
        list = next;
    }
    return 0;
}
