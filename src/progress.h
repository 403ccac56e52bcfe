// --progress: one line per component and phase of a flash (erase, write, read
// back) on stderr with its percentage done, and lines "run: N%" of its own
// with the whole run's, from the run's events.
#pragma once

#include "events.h"
#include "overall.h"

#include <stdint.h>

// What the lines have shown so far.
struct progress_state {
    bool terminal; // stderr is a terminal: one line per phase, rewritten in place
    const char *component;
    flash_phase_kind phase;
    uint64_t total, done;
    int shown; // the percentage last shown, -1: none yet
    overall_state overall;
    int run_shown; // the run's percentage last shown, -1: none yet
};

// A state for stderr as it is now: on a terminal the line of a phase is
// rewritten in place, elsewhere a line is written at each tenth of the phase.
// The run's line comes at each new tenth of the run, after the plan, on a
// line of its own either way (on a terminal it blanks the phase's line first).
progress_state progress_start();
// Shows the phase events; state is a progress_state.
void progress_notify(void *state, const event &e);
