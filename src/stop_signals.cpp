#include "stop_signals.h"

#include "log.h"

#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace {

// The signals that ask the run to stop.
const int stop_signal_numbers[] = {SIGINT, SIGTERM, SIGQUIT};

// Ends the process by sig, which was taken while blocked: it is raised again
// and let through alone, so another stop signal that is pending stays blocked
// and cannot end the process in its place.
[[noreturn]] void end_by(int sig) {
    signal(sig, SIG_DFL);
    raise(sig);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    // Not reached: the default action of every stop signal ends the process.
    _exit(128 + sig);
}

} // namespace

void stop_signals_start(stop_signals *s) {
    memset(s, 0, sizeof *s);
    sigset_t blocked;
    sigprocmask(SIG_BLOCK, nullptr, &blocked);
    sigemptyset(&s->watched);
    for (int sig : stop_signal_numbers) {
        struct sigaction action;
        if (!sigismember(&blocked, sig) && sigaction(sig, nullptr, &action) == 0 &&
            action.sa_handler != SIG_IGN)
            sigaddset(&s->watched, sig);
    }
}

void stop_signals_hold(stop_signals *s) {
    if (s->held)
        return;
    sigprocmask(SIG_BLOCK, &s->watched, nullptr);
    s->held = true;
}

void stop_signals_check(stop_signals *s, const char *const *completed, int count,
                        const run_events *events) {
    if (!s->held)
        return;
    const timespec now = {0, 0};
    int sig = sigtimedwait(&s->watched, nullptr, &now);
    if (sig <= 0)
        return;
    // The progress lines so far come first in a log that takes both streams.
    fflush(stdout);
    char names[32] = "none";
    for (int i = 0; i < count; i++) {
        size_t used = i ? strlen(names) : 0;
        snprintf(names + used, sizeof names - used, "%s%s", i ? ", " : "", completed[i]);
    }
    error("Stopped by signal %d (%s); partitions completed: %s", sig, strsignal(sig), names);
    event e = event_of(event_kind::stopped);
    e.signal = sig;
    e.status = 128 + sig;
    e.completed_list = completed;
    e.completed_count = count;
    events_emit(events, e);
    end_by(sig);
}
