// Levelled progress output and error lines.
#pragma once

// The log level: zero at start, raised by each -v while the options are parsed.
extern int verbosity;

// One line to stdout when level <= verbosity; the newline is appended.
void log_printf(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
// One line to stderr, whatever the verbosity; the newline is appended.
void error(const char *format, ...) __attribute__((format(printf, 1, 2)));
// From now on every line that error() writes is handed, without its newline,
// to observer too (null: to nobody).
void log_observe_errors(void (*observer)(void *state, const char *line), void *state);
// A failed allocation of size bytes, as perror("malloc") reports it, with the size.
void error_no_memory(unsigned long long size);
