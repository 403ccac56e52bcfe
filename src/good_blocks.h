// The one walk over a partition's good blocks: erasing, programming, reading
// back and marking all step over bad blocks through it.
#pragma once

#include "events.h"

#include <stdint.h>

struct nand_part;

struct good_blocks {
    nand_part *part;
    uint32_t next;            // the first block not looked at yet
    uint32_t blocks;          // blocks in the partition
    bool log_skipped;         // "Skipping bad block N" at level 1 for each bad block
    const run_events *events; // a bad_block event of phase for each bad block; or null
    flash_phase_kind phase;
};

// A walk from block first on, that tells nobody of the bad blocks it steps over.
void good_blocks_start(good_blocks *walk, nand_part *part, uint32_t first, bool log_skipped);
// The same for a phase of a flash: each bad block is an event of that phase.
void good_blocks_start_phase(good_blocks *walk, nand_part *part, uint32_t first, bool log_skipped,
                             const run_events *events, flash_phase_kind phase);
// The next good block into *block: 1, or 0 when the partition has none left,
// or -1 when a bad-block query failed (reported).
int good_blocks_next(good_blocks *walk, uint32_t *block);
