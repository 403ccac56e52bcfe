// One JSON object on one line, built in a fixed buffer: strings (escaped, any
// bytes that are no well-formed UTF-8 taken as code points of their value),
// numbers, booleans, null, and arrays of numbers and of strings. A value that
// does not fit ends the line there: what came before stays whole, a string is
// cut at a character, an array after its last element that fits, and the
// line says "truncated":true. Nothing else writes into the line.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct json_line {
    static constexpr size_t size = 4096;
    char text[size];
    size_t used;
    bool cut; // a value did not fit: nothing more is added
};

// Starts the object with its first field, "event":name.
void json_begin(json_line *line, const char *name);
// A string, or null when value is null.
void json_string(json_line *line, const char *key, const char *value);
// A string of count bytes.
void json_text(json_line *line, const char *key, const char *value, size_t count);
void json_number(json_line *line, const char *key, unsigned long long value);
// A number, or null when value is negative.
void json_number_or_null(json_line *line, const char *key, long long value);
void json_bool(json_line *line, const char *key, bool value);
void json_null(json_line *line, const char *key);
void json_numbers(json_line *line, const char *key, const uint32_t *values, size_t count);
void json_strings(json_line *line, const char *key, const char *const *values, size_t count);
// Closes the object and ends the line with a newline; the line's length.
size_t json_end(json_line *line);
