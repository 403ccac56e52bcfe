#include "good_blocks.h"

#include "log.h"
#include "nand.h"

void good_blocks_start(good_blocks *walk, nand_part *part, uint32_t first, bool log_skipped) {
    walk->part = part;
    walk->next = first;
    walk->blocks = part->info.erasesize ? part->info.size / part->info.erasesize : 0;
    walk->log_skipped = log_skipped;
    walk->events = nullptr;
    walk->phase = flash_phase_kind::erase;
}

void good_blocks_start_phase(good_blocks *walk, nand_part *part, uint32_t first, bool log_skipped,
                             const run_events *events, flash_phase_kind phase) {
    good_blocks_start(walk, part, first, log_skipped);
    walk->events = events;
    walk->phase = phase;
}

int good_blocks_next(good_blocks *walk, uint32_t *block) {
    while (walk->next < walk->blocks) {
        int b = static_cast<int>(walk->next++);
        int answer = nand_block_is_bad(walk->part, b);
        if (answer < 0)
            return -1;
        if (answer == 0) {
            *block = static_cast<uint32_t>(b);
            return 1;
        }
        if (walk->log_skipped)
            log_printf(1, "Skipping bad block %d", b);
        if (walk->events) {
            event e = event_of(event_kind::bad_block);
            e.part = walk->part;
            e.component = walk->part->name;
            e.phase = walk->phase;
            e.block = static_cast<uint32_t>(b);
            events_emit(walk->events, e);
        }
    }
    return 0;
}
