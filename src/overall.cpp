#include "overall.h"

#include <string.h>

namespace {

// The component's slot, taken at its first phase; -1 when both are taken by others.
int slot_of(overall_state *s, const char *component) {
    for (int i = 0; i < 2; i++) {
        if (!s->components[i])
            s->components[i] = component;
        if (strcmp(s->components[i], component) == 0)
            return i;
    }
    return -1;
}

} // namespace

overall_state overall_start() {
    overall_state s;
    memset(&s, 0, sizeof s);
    s.percent = -1;
    return s;
}

bool overall_notify(overall_state *s, const event &e) {
    if (e.kind == event_kind::plan) {
        s->total = e.bytes;
        s->percent = 0;
        return true;
    }
    if (!s->total || !e.component ||
        (e.kind != event_kind::phase_start && e.kind != event_kind::phase_step &&
         e.kind != event_kind::phase_end))
        return false;
    int slot = slot_of(s, e.component);
    if (slot < 0)
        return false;
    int phase = static_cast<int>(e.phase);
    uint64_t &planned = s->planned[slot][phase];
    uint64_t &counted = s->counted[slot][phase];
    if (e.kind == event_kind::phase_start) {
        if (!planned)
            planned = e.bytes;
        s->pass = 0;
    } else if (e.kind == event_kind::phase_step) {
        s->pass += e.bytes;
    } else if (e.ok) {
        s->pass = planned;
    }
    if (s->pass > counted)
        counted = s->pass < planned ? s->pass : planned;
    uint64_t done = 0;
    for (auto &phases : s->counted)
        for (uint64_t bytes : phases)
            done += bytes;
    int now = static_cast<int>((done < s->total ? done : s->total) * 100 / s->total);
    if (now <= s->percent)
        return false;
    s->percent = now;
    return true;
}
