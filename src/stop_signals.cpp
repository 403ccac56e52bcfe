#include "stop_signals.h"

#include "log.h"
#include "report.h"

#include <signal.h>
#include <stdio.h>
#include <string.h>

namespace {

// The signals that ask the run to stop.
const int stop_signals[] = {SIGINT, SIGTERM, SIGQUIT};

// Partitions flashed completely so far, for the line of a stopped run.
char completed[32] = "";

} // namespace

held_signals::held_signals() {
    sigemptyset(&set_);
    for (int sig : stop_signals) {
        struct sigaction action;
        if (sigaction(sig, nullptr, &action) == 0 && action.sa_handler != SIG_IGN)
            sigaddset(&set_, sig);
    }
    sigprocmask(SIG_BLOCK, &set_, &saved_);
}

held_signals::~held_signals() {
    sigset_t pending;
    sigpending(&pending);
    for (int sig : stop_signals) {
        if (sigismember(&set_, sig) && sigismember(&pending, sig)) {
            error("Stopped by signal %d (%s); partitions completed: %s", sig, strsignal(sig),
                  completed[0] ? completed : "none");
            report_stopped(sig);
            fflush(stdout);
            break;
        }
    }
    // A pending signal takes its default course here and ends the process.
    sigprocmask(SIG_SETMASK, &saved_, nullptr);
}

void stop_signals_completed(const char *name) {
    size_t used = strlen(completed);
    snprintf(completed + used, sizeof completed - used, "%s%s", used ? ", " : "", name);
}

void stop_signals_reset() {
    completed[0] = 0;
}
