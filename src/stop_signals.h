// SIGINT, SIGTERM and SIGQUIT during a run: held from the first erase to the
// end of the run and looked at at each partition boundary, so that a stop
// request never leaves a partition half written.
#pragma once

#include "events.h"

#include <signal.h>

// The run's stop signals; filled by stop_signals_start.
struct stop_signals {
    sigset_t watched; // those neither blocked nor ignored when the tool started
    bool held;        // blocked since the first erase
};

// Notes which stop signals the run may hold. One that the tool was started
// with blocked or ignored is left as it is and never looked at.
void stop_signals_start(stop_signals *s);
// Holds the watched signals from now on to the end of the process.
void stop_signals_hold(stop_signals *s);
// A partition boundary. When a held signal is pending, takes it, flushes
// stdout, writes a line on stderr that names it and the partitions completed
// so far, tells events that it stops the run, and ends the process by that
// same signal; returns only when none is pending (or none is held yet: then a
// signal has already acted).
void stop_signals_check(stop_signals *s, const char *const *completed, int count,
                        const run_events *events);
