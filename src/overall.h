// The run's overall share done, from its events: the plan (the bytes of every
// phase of every component the run flashes), then each phase's steps. Each
// output that shows it keeps a state of its own.
#pragma once

#include "events.h"

#include <stdint.h>

// A component flashed again after --mark-bad retired a block counts once:
// each phase counts at most the bytes of its first start and in full once it
// ends well, so that the figure never goes back and never passes 100.
struct overall_state {
    uint64_t total; // the plan's bytes; 0: no plan (nothing is flashed)
    const char *components[2];
    uint64_t planned[2][3]; // each component's phases: the bytes of the first start
    uint64_t counted[2][3]; // the most each phase got to
    uint64_t pass;          // what the current phase did in this pass
    int percent;            // the figure last computed
};

// A state before the plan.
overall_state overall_start();
// Takes e into *s. True when the figure rose (or the plan came): s->percent
// is the run's percentage done.
bool overall_notify(overall_state *s, const event &e);
