#include "events.h"

#include <string.h>

bool events_observe(run_events *events, event_observer observer) {
    if (events->count == run_events::max_observers)
        return false;
    events->observers[events->count++] = observer;
    return true;
}

void events_emit(const run_events *events, const event &e) {
    if (!events)
        return;
    for (int i = 0; i < events->count; i++)
        events->observers[i].notify(events->observers[i].state, e);
}

event event_of(event_kind kind) {
    event e;
    memset(&e, 0, sizeof e);
    e.kind = kind;
    e.available = -1;
    return e;
}
