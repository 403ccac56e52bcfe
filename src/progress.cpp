#include "progress.h"

#include <stdio.h>
#include <unistd.h>

namespace {

const char *const phase_words[] = {"erase", "write", "read back"};
// The run's line names the run as the phases' lines name their component.
const char *const run_word = "run";
// Blanks on a terminal the longest phase line, "initfs: read back 100%".
const char *const blank_line = "                      \r";

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

// The run's line at each new tenth of the run. On a terminal it overwrites
// the phase's line, which the next step writes again below it.
void show_run(progress_state *p) {
    int now = p->overall.percent;
    if (p->run_shown >= 0 && now / 10 <= p->run_shown / 10)
        return;
    p->run_shown = now;
    if (p->terminal)
        fputs(blank_line, stderr);
    fprintf(stderr, "%s: %d%%\n", run_word, now);
}

void show_phase(progress_state *p, const event &e) {
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

} // namespace

progress_state progress_start() {
    progress_state p = {};
    p.terminal = isatty(2) == 1;
    p.shown = -1;
    p.overall = overall_start();
    p.run_shown = -1;
    return p;
}

void progress_notify(void *state, const event &e) {
    progress_state *p = static_cast<progress_state *>(state);
    show_phase(p, e);
    if (overall_notify(&p->overall, e))
        show_run(p);
}
