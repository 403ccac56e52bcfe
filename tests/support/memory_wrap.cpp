// malloc and calloc of the unit binaries that wrap them: not unit_core, whose
// C library, linked statically in the armhf build, would fail its own
// allocations for opening files.
#include "support/memory.h"

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__wrap_malloc(size_t size) {
    return allocation_granted(size) ? __real_malloc(size) : nullptr;
}
void *__wrap_calloc(size_t count, size_t size) {
    return allocation_granted(count * size) ? __real_calloc(count, size) : nullptr;
}
}
