// --check's lines: what the run learns about the device and the images before
// anything is touched, one fact a line on stdout, from the run's events.
#pragma once

#include "events.h"

// Prints the lines of the facts in e; its state is unused (null).
void check_lines_notify(void *state, const event &e);
