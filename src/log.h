// Levelled progress output and error lines.
#pragma once

// Run-wide settings, zero at start, raised only while the options are parsed.
extern int verbosity; // each -v adds one
extern int simulate;  // non-zero: flashing is only simulated (-N)

// One line to stdout when level <= verbosity; the newline is appended.
void log_printf(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
// One line to stderr, whatever the verbosity; the newline is appended.
void error(const char *format, ...) __attribute__((format(printf, 1, 2)));
// A failed allocation of size bytes, as perror("malloc") reports it, with the size.
void error_no_memory(unsigned long long size);
