#include "geometry.h"

#include <stdint.h>
#include <stdio.h>

uint32_t geometry_page_size(uint32_t erasesize) {
    return erasesize > 0x4000 ? 2048 : 512;
}

bool geometry_whole_pages(uint32_t erasesize, uint32_t page_size) {
    return page_size > 0 && page_size <= geometry_max_page_size && erasesize >= page_size &&
           erasesize % page_size == 0;
}

bool geometry_supported(uint32_t erasesize, uint32_t writesize, char *problem,
                        size_t problem_size) {
    uint32_t page_size = geometry_page_size(erasesize);
    if (!geometry_whole_pages(erasesize, page_size)) {
        snprintf(problem, problem_size, "Unsupported erase block size %u for %u-byte pages",
                 erasesize, page_size);
        return false;
    }
    // Pages smaller than the chip writes would fail at the first write, after
    // every block was erased.
    if (writesize > page_size) {
        snprintf(problem, problem_size, "Write size %u larger than the page size %u", writesize,
                 page_size);
        return false;
    }
    return true;
}

uint64_t geometry_usable_size(uint32_t erasesize, uint32_t good_blocks) {
    return static_cast<uint64_t>(erasesize) * good_blocks;
}

uint64_t geometry_component_length(uint32_t image_size, bool header_page, uint32_t page_size) {
    return static_cast<uint64_t>(header_page ? page_size : 0) + image_size;
}

bool geometry_fits(uint64_t length, uint64_t usable_size) {
    return length <= INT32_MAX && length <= usable_size;
}
