// The one walk over a partition's good blocks: erasing, programming, reading
// back and marking all step over bad blocks through it.
#pragma once

#include <stdint.h>

struct nand_part;

struct good_blocks {
    nand_part *part;
    uint32_t next;    // the first block not looked at yet
    uint32_t blocks;  // blocks in the partition
    bool log_skipped; // "Skipping bad block N" at level 1 for each bad block
};

// A walk from block first on.
void good_blocks_start(good_blocks *walk, nand_part *part, uint32_t first, bool log_skipped);
// The next good block into *block: 1, or 0 when the partition has none left,
// or -1 when a bad-block query failed (reported).
int good_blocks_next(good_blocks *walk, uint32_t *block);
