#include "progress.h"

#include <stdio.h>
#include <unistd.h>

namespace {

const char *const phase_words[] = {"erase", "write", "read back"};

int percent(const progress_state &p) {
    return p.total ? static_cast<int>(p.done * 100 / p.total) : 100;
}

// Shows the percentage when it rose: on a terminal in place, the cursor left
// at the start of the line so that any other line overwrites it (the phase's
// last state ends the line); elsewhere a line at each new tenth.
void show(progress_state *p, bool last) {
    int now = percent(*p);
    bool due = p->shown < 0 || (p->terminal ? now > p->shown : now / 10 > p->shown / 10);
    if (due)
        p->shown = now;
    const char *word = phase_words[static_cast<int>(p->phase)];
    if (p->terminal && (due || last))
        fprintf(stderr, "%s: %s %3d%%%s", p->component, word, p->shown, last ? "\n" : "\r");
    else if (due)
        fprintf(stderr, "%s: %s %d%%\n", p->component, word, p->shown);
}

} // namespace

progress_state progress_start() {
    progress_state p = {};
    p.terminal = isatty(2) == 1;
    p.shown = -1;
    return p;
}

void progress_notify(void *state, const event &e) {
    progress_state *p = static_cast<progress_state *>(state);
    switch (e.kind) {
    case event_kind::phase_start:
        p->component = e.component;
        p->phase = e.phase;
        p->total = e.bytes;
        p->done = 0;
        p->shown = -1;
        show(p, false);
        return;
    case event_kind::phase_step:
        p->done += e.bytes;
        show(p, false);
        return;
    case event_kind::phase_end:
        show(p, true);
        return;
    default:
        return;
    }
}
