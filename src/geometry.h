// How a component is laid onto a NAND partition: the page size the tool
// programs with, the blocks it can use and whether a component fits. The
// flasher applies these rules to the partitions it opens, velkan-pack check
// to the geometries it is given.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The largest page the tool programs: the page walks hold one on the stack,
// and a simulated run, which opens no partition, reckons with it.
constexpr uint32_t geometry_max_page_size = 2048;

// The page size the tool programs with, from the erase-block size: 2048 bytes
// in blocks above 16 KiB, 512 otherwise.
uint32_t geometry_page_size(uint32_t erasesize);

// True when blocks of erasesize bytes hold a whole number of pages of
// page_size bytes, at least one, and a page is no larger than the page walks
// take.
bool geometry_whole_pages(uint32_t erasesize, uint32_t page_size);

// True when a partition of this erase size and write size can be programmed
// in pages of geometry_page_size(erasesize). Otherwise false, with the reason
// as one line (no newline) in problem, problem_size bytes at most.
bool geometry_supported(uint32_t erasesize, uint32_t writesize, char *problem, size_t problem_size);

// The bytes that good_blocks good blocks of erasesize bytes offer.
uint64_t geometry_usable_size(uint32_t erasesize, uint32_t good_blocks);

// The bytes a component of image_size bytes takes on its partition: behind one
// page of page_size bytes when it has a header page.
uint64_t geometry_component_length(uint32_t image_size, bool header_page, uint32_t page_size);

// True when a component of length bytes fits usable_size bytes of good blocks
// and the flash's signed 32-bit lengths.
bool geometry_fits(uint64_t length, uint64_t usable_size);
