// SIGINT, SIGTERM and SIGQUIT while a partition is flashed: held until it is
// done, then they end the run after a line that says how far it got.
#pragma once

#include <signal.h>

// Holds the stop signals for as long as it lives; once it goes, a signal that
// came in ends the process, after a line on stderr that names the partitions
// completed. Signals that the tool was started with ignored stay ignored.
class held_signals {
  public:
    held_signals();
    ~held_signals();
    held_signals(const held_signals &) = delete;
    held_signals &operator=(const held_signals &) = delete;

  private:
    sigset_t set_, saved_;
};

// Adds name to the partitions completed.
void stop_signals_completed(const char *name);
// Forgets the partitions completed.
void stop_signals_reset();
