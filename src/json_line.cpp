#include "json_line.h"

#include <stdio.h>
#include <string.h>

namespace {

// Room kept at the end for what closes a cut value and the line:
// a quote or a bracket, ,"truncated":true} and the newline.
constexpr size_t reserve = 24;

// Appends count bytes when they fit in front of the reserve; otherwise the
// line is cut from here on.
bool put(json_line *line, const char *bytes, size_t count) {
    if (line->cut || line->used + count > json_line::size - reserve) {
        line->cut = true;
        return false;
    }
    memcpy(line->text + line->used, bytes, count);
    line->used += count;
    return true;
}

bool put_text(json_line *line, const char *text) {
    return put(line, text, strlen(text));
}

// The closing character of a value that was cut, which the reserve holds.
void close_cut(json_line *line, char c) {
    line->text[line->used++] = c;
}

// The length of the well-formed UTF-8 sequence at s (at most left bytes), or 0.
size_t utf8_length(const unsigned char *s, size_t left) {
    unsigned char c = s[0];
    size_t n = c >= 0xC2 && c <= 0xDF   ? 2
               : c >= 0xE0 && c <= 0xEF ? 3
               : c >= 0xF0 && c <= 0xF4 ? 4
                                        : 0;
    if (n == 0 || n > left)
        return 0;
    // The second byte's range excludes overlong forms, surrogates and code
    // points above U+10FFFF.
    unsigned char low = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
    unsigned char high = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
    if (s[1] < low || s[1] > high)
        return 0;
    for (size_t i = 2; i < n; i++) {
        if (s[i] < 0x80 || s[i] > 0xBF)
            return 0;
    }
    return n;
}

// Appends the JSON form of one character of text (left bytes remain) and
// gives the number of bytes it took, or 0 when it did not fit. A byte that
// starts no well-formed UTF-8 sequence stands for the code point of its value.
size_t put_char(json_line *line, const unsigned char *s, size_t left) {
    char escape[8];
    size_t n = s[0] < 0x80 ? 1 : utf8_length(s, left);
    if (s[0] == '"' || s[0] == '\\') {
        snprintf(escape, sizeof escape, "\\%c", s[0]);
    } else if (s[0] < 0x20 || n == 0) {
        snprintf(escape, sizeof escape, "\\u%04x", s[0]);
        n = 1;
    } else {
        return put(line, reinterpret_cast<const char *>(s), n) ? n : 0;
    }
    return put_text(line, escape) ? n : 0;
}

// ,"key": in front of a value.
bool put_key(json_line *line, const char *key) {
    char text[48];
    snprintf(text, sizeof text, ",\"%s\":", key);
    return put_text(line, text);
}

// A string value, opening quote first; cut at a character when it does not fit.
void put_string(json_line *line, const char *value, size_t count) {
    if (!put(line, "\"", 1))
        return;
    const unsigned char *s = reinterpret_cast<const unsigned char *>(value);
    for (size_t i = 0; i < count;) {
        size_t took = put_char(line, s + i, count - i);
        if (took == 0) {
            close_cut(line, '"');
            return;
        }
        i += took;
    }
    if (!put(line, "\"", 1))
        close_cut(line, '"');
}

// A field whose value is a text of its own: all of it, or the line ends.
void put_field(json_line *line, const char *key, const char *value) {
    size_t used = line->used;
    if (!put_key(line, key) || !put_text(line, value))
        line->used = used;
}

} // namespace

void json_begin(json_line *line, const char *name) {
    line->used = 0;
    line->cut = false;
    put_text(line, "{\"event\":");
    put_string(line, name, strlen(name));
}

void json_string(json_line *line, const char *key, const char *value) {
    if (!value)
        json_null(line, key);
    else
        json_text(line, key, value, strlen(value));
}

void json_text(json_line *line, const char *key, const char *value, size_t count) {
    size_t used = line->used;
    // A string without room for its quotes is left out whole.
    if (!put_key(line, key) || line->used + 2 > json_line::size - reserve) {
        line->used = used;
        line->cut = true;
        return;
    }
    put_string(line, value, count);
}

void json_number(json_line *line, const char *key, unsigned long long value) {
    char text[24];
    snprintf(text, sizeof text, "%llu", value);
    put_field(line, key, text);
}

void json_number_or_null(json_line *line, const char *key, long long value) {
    if (value < 0)
        json_null(line, key);
    else
        json_number(line, key, static_cast<unsigned long long>(value));
}

void json_bool(json_line *line, const char *key, bool value) {
    put_field(line, key, value ? "true" : "false");
}

void json_null(json_line *line, const char *key) {
    put_field(line, key, "null");
}

namespace {

// Opens an array field; false (nothing added) when it does not fit.
bool open_array(json_line *line, const char *key) {
    size_t used = line->used;
    if (put_key(line, key) && put(line, "[", 1))
        return true;
    line->used = used;
    return false;
}

// Appends one element (a comma first but for the first), all of it or none;
// when it does not fit, the array is closed behind the elements before it.
bool put_element(json_line *line, size_t index, const char *value, bool quoted) {
    size_t used = line->used;
    if (index)
        put(line, ",", 1);
    if (quoted)
        put_string(line, value, strlen(value));
    else
        put_text(line, value);
    if (!line->cut)
        return true;
    line->used = used;
    close_cut(line, ']');
    return false;
}

} // namespace

void json_numbers(json_line *line, const char *key, const uint32_t *values, size_t count) {
    if (!open_array(line, key))
        return;
    for (size_t i = 0; i < count; i++) {
        char text[16];
        snprintf(text, sizeof text, "%u", values[i]);
        if (!put_element(line, i, text, false))
            return;
    }
    if (!put(line, "]", 1))
        close_cut(line, ']');
}

void json_strings(json_line *line, const char *key, const char *const *values, size_t count) {
    if (!open_array(line, key))
        return;
    for (size_t i = 0; i < count; i++) {
        if (!put_element(line, i, values[i], true))
            return;
    }
    if (!put(line, "]", 1))
        close_cut(line, ']');
}

size_t json_end(json_line *line) {
    const char *tail = line->cut ? ",\"truncated\":true}\n" : "}\n";
    size_t n = strlen(tail);
    memcpy(line->text + line->used, tail, n);
    line->used += n;
    return line->used;
}
