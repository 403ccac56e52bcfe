// The machine-readable record of a run (--report FILE): one JSON object per
// line, one line per event, each written with one write() as the run goes, so
// that a run that dies leaves every event before it. Every key is listed in
// the manual page (velkan-flasher(8), RECORD). The record never stops a
// flash: a record that cannot be written is cut back to its last whole line,
// stderr says that it ends early and why, and the run goes on.
#pragma once

#include "events.h"
#include "overall.h"

#include <time.h>

// The file systems the record must not be written to: those on the MTD
// partitions that the run rewrites (their device numbers and names).
struct record_target_rules {
    unsigned long long devices[2];
    const char *names[2];
    int count;
};

struct record_state {
    int fd;
    const char *path;
    bool regular;      // a regular file: cut back and synced
    bool failed;       // a write failed: nothing more is written
    long long written; // the bytes of the whole lines written
    timespec started;
    overall_state overall; // the run's percentage done, in each phase_end
};

// Opens the record at path for a run: a regular file (created or truncated)
// or a pipe. A block or character device, and a file whose file system lies
// on a partition of rules, are refused before anything is opened. 0, 2 when
// refused, 1 when it cannot be opened (each reported).
int record_open(record_state *record, const char *path, const record_target_rules &rules);
// Writes the events of the run; state is a record_state.
void record_notify(void *state, const event &e);
