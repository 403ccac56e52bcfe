// Writing images into NAND partitions, and the kernel and initfs components.
#pragma once

#include <stdint.h>

struct nand_part;
struct image_set;
struct hw_ident;
struct subimage;

// Mode of flash_read and flash_image for file-system images: JFFS2 clean markers.
constexpr int flash_mode_jffs2 = 1;
// Mode for raw images.
constexpr int flash_mode_raw = 2;

int flash_erase(nand_part *part, uint32_t first_block, uint32_t block_count);
int flash_write(nand_part *part, const uint8_t *data, uint32_t length);
int flash_read(nand_part *part, uint8_t *buf, uint32_t length, int mode);
// Size check, erase, write, read back, verify (and clean markers in mode 1).
// Negative on failure.
int flash_image(nand_part *part, const uint8_t *data, int32_t length, int mode);

// Checks before anything is erased: picks each requested component and,
// outside simulation, checks that its partition opens and takes it. The
// partitions are closed again. 0, or -1 (reported).
int flash_check(image_set *set, hw_ident *ident, bool kernel, bool initfs);
void flash_kernel_header(subimage *img, nand_part *part, uint8_t *header);
// Both flash their component. SIGINT, SIGTERM and SIGQUIT that come in while
// the partition is erased, written, read back or marked are held until it is
// done; then they end the process, after a line on stderr that names the
// partitions completed.
int flash_kernel(image_set *set, hw_ident *ident);
int flash_initfs(image_set *set, hw_ident *ident);
