#include "good_blocks.h"

#include "log.h"
#include "nand.h"
#include "report.h"

void good_blocks_start(good_blocks *walk, nand_part *part, uint32_t first, bool log_skipped) {
    walk->part = part;
    walk->next = first;
    walk->blocks = part->info.erasesize ? part->info.size / part->info.erasesize : 0;
    walk->log_skipped = log_skipped;
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
        report_bad_block(walk->part, walk->next - 1);
    }
    return 0;
}
