// The run's component sequence: the checks before the first erase, then the
// kernel and the initfs, each read, checked to be what the checks read, and
// flashed, with the stop signals held from the first erase on.
#pragma once

#include "events.h"
#include "flash_image.h"
#include "preflight.h"
#include "run_options.h"

#include <stdint.h>

struct hw_ident;
struct image_set;
struct nand_part;
struct stop_signals;
struct subimage;

// What a run flashes.
struct flash_request {
    preflight_request checks; // the components, the container, the options and the events
    int (*kill)();            // -K: ends the initfs's processes before it is flashed; or null
};

// How far a run got: the partitions flashed completely, in order.
struct flash_progress {
    const char *completed[2];
    int count;
};

// The run from the checks to the last sync: the pre-flight, sync, the kernel,
// the initfs (after -K), the success line and sync again. A simulated run reads
// and checks all the same, but opens and writes no partition. From the first
// erase on the stop signals are held; a pending one ends the process when a
// partition is completed, before the next one is erased and after the last
// sync. Every allocation the flash needs is made before the first erase. The
// partitions completed go into *done. 0, or -1 (reported).
int flash_run(image_set *set, hw_ident *ident, const flash_request *req, stop_signals *signals,
              flash_progress *done);
// The kernel boot header page (part->page_size bytes) in front of img.
void flash_kernel_header(subimage *img, nand_part *part, uint8_t *header);
