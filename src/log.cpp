#include "log.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

int verbosity;

namespace {

constexpr int line_size = 1024;

// Who else is told of each error line.
struct {
    void (*observer)(void *state, const char *line);
    void *state;
} error_observer;

void emit(FILE *stream, const char *format, va_list args) {
    char line[line_size];
    line[0] = 0;
    vsnprintf(line, sizeof line, format, args);
    fprintf(stream, "%s\n", line);
    if (stream == stderr && error_observer.observer)
        error_observer.observer(error_observer.state, line);
}

} // namespace

void log_printf(int level, const char *format, ...) {
    if (level > verbosity)
        return;
    va_list args;
    va_start(args, format);
    emit(stdout, format, args);
    va_end(args);
}

void error(const char *format, ...) {
    va_list args;
    va_start(args, format);
    emit(stderr, format, args);
    va_end(args);
}

void log_observe_errors(void (*observer)(void *state, const char *line), void *state) {
    error_observer.observer = observer;
    error_observer.state = state;
}

void error_no_memory(unsigned long long size) {
    error("malloc (%llu bytes): %s", size, strerror(errno ? errno : ENOMEM));
}
