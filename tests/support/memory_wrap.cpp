// malloc and calloc of a unit binary linked with --wrap for both.
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
