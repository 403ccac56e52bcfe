#include "log.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

int verbosity;
int simulate;

namespace {

constexpr int line_size = 1024;

void emit(FILE *stream, const char *format, va_list args) {
    char line[line_size];
    line[0] = 0;
    vsnprintf(line, sizeof line, format, args);
    fprintf(stream, "%s\n", line);
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

void error_no_memory(unsigned long long size) {
    error("malloc (%llu bytes): %s", size, strerror(errno ? errno : ENOMEM));
}
