#include "progress.h"

#include "nand.h"
#include "report.h"

#include <stdio.h>
#include <unistd.h>

namespace {

const char *const phase_words[] = {"erase", "write", "read back"};
const char *const phase_keys[] = {"erase", "write", "read_back"};

bool enabled;
bool terminal;

// The phase under way.
struct {
    bool active;
    const char *component;
    int phase;
    uint64_t total, done;
    uint32_t blocks;
    int shown; // the percentage last shown, -1: none yet
} current;

int percent() {
    return current.total ? static_cast<int>(current.done * 100 / current.total) : 100;
}

// Shows the percentage when it rose: on a terminal in place, the cursor left
// at the start of the line so that any other line overwrites it (the phase's
// last state ends the line); elsewhere a line at each new tenth.
void show(bool last) {
    int now = percent();
    bool due =
        current.shown < 0 || (terminal ? now > current.shown : now / 10 > current.shown / 10);
    if (due)
        current.shown = now;
    const char *component = current.component, *word = phase_words[current.phase];
    if (terminal && (due || last))
        fprintf(stderr, "%s: %s %3d%%%s", component, word, current.shown, last ? "\n" : "\r");
    else if (due)
        fprintf(stderr, "%s: %s %d%%\n", component, word, current.shown);
}

} // namespace

void progress_enable() {
    enabled = true;
    terminal = isatty(2) == 1;
}

flash_phase::flash_phase(nand_part *part, int phase, uint64_t bytes) : part_(part) {
    if (!enabled && !report_active())
        return;
    uint32_t erasesize = part->info.erasesize;
    current = {true, part->name, phase, bytes, 0, 0, -1};
    report_phase_start(part, phase_keys[phase],
                       static_cast<uint32_t>(erasesize ? (bytes + erasesize - 1) / erasesize : 0),
                       bytes);
    if (enabled)
        show(false);
}

flash_phase::~flash_phase() {
    if (!current.active)
        return;
    current.active = false;
    if (enabled)
        show(true);
    report_phase_end(part_, ok_, current.blocks, current.done);
}

void flash_phase_step(uint32_t bytes) {
    if (!current.active)
        return;
    current.done += bytes;
    current.blocks++;
    if (enabled)
        show(false);
}
