// The kernel and initfs components: which image, which partition, and the
// sequence that flashes one.
#pragma once

#include "flash_image.h"

#include <stdint.h>

struct nand_part;
struct image_set;
struct hw_ident;
struct subimage;

// Checks before anything is erased: picks each requested component and,
// outside simulation, checks that its partition opens and takes it. The
// partitions are closed again. 0, or -1 (reported).
int flash_check(image_set *set, hw_ident *ident, bool kernel, bool initfs);
// The kernel boot header page (part->page_size bytes) in front of img.
void flash_kernel_header(subimage *img, nand_part *part, uint8_t *header);
// Both flash their component. SIGINT, SIGTERM and SIGQUIT that come in while
// the partition is erased, written, read back or marked are held until it is
// done; then they end the process, after a line on stderr that names the
// partitions completed.
int flash_kernel(image_set *set, hw_ident *ident);
int flash_initfs(image_set *set, hw_ident *ident);
