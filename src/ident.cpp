#include "ident.h"

#include "log.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const char component_version_path[] = "/proc/component_version";

// Keys and values are words of at most 63 characters.
constexpr int word_size = 64;

// Reads the next whitespace-separated word into word. A word longer than
// word_size - 1 characters is cut to that length and the rest of it is
// consumed, so an over-long word still counts as one word and the pairing
// of the words after it is unchanged. False at end of file.
bool read_word(FILE *file, char (&word)[word_size]) {
    int c;
    do {
        c = getc(file);
    } while (c != EOF &&
             (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'));
    if (c == EOF)
        return false;
    int n = 0;
    while (c != EOF &&
           !(c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f')) {
        if (n < word_size - 1)
            word[n++] = (char)c;
        c = getc(file);
    }
    word[n] = 0;
    return true;
}

// Replaces *field with a heap copy of value. False when memory runs out.
bool store(char **field, const char *value) {
    char *copy = strdup(value);
    if (!copy)
        return false;
    free(*field);
    *field = copy;
    return true;
}

} // namespace

int read_hw_ident(hw_ident *ident) {
    return read_hw_ident_from(ident, component_version_path);
}

int read_hw_ident_from(hw_ident *ident, const char *path) {
    FILE *file = fopen(path, "r");
    if (!file) {
        error("%s: %s", path, strerror(errno));
        return -1;
    }
    char key[word_size];
    char value[word_size];
    bool stored = true;
    while (stored && read_word(file, key) && read_word(file, value)) {
        if (strcmp(key, "product") == 0)
            stored = store(&ident->product, value);
        else if (strcmp(key, "hw-build") == 0)
            stored = store(&ident->hw_build, value);
    }
    int read_errno = errno;
    fclose(file);
    if (!stored) {
        // Half an identity, or one from an earlier reading, must not stay behind.
        free(ident->product);
        free(ident->hw_build);
        ident->product = nullptr;
        ident->hw_build = nullptr;
        errno = read_errno;
        error("malloc: %s", strerror(errno));
        return -1;
    }
    if (ident->product && ident->hw_build)
        return 0;
    error("Unable to determine product type and/or HW revision.");
    return -1;
}

int parse_hw_override(const char *argument, char **product, char **hw_build) {
    // Pieces are maximal runs of characters other than ':'.
    const char *first = argument + strspn(argument, ":");
    size_t first_len = strcspn(first, ":");
    if (first_len == 0)
        return -1;
    const char *second = first + first_len;
    second += strspn(second, ":");
    size_t second_len = strcspn(second, ":");

    char *new_product = strndup(first, first_len);
    char *new_hw_build = second_len ? strndup(second, second_len) : nullptr;
    if (!new_product || (second_len && !new_hw_build)) {
        free(new_product);
        free(new_hw_build);
        error("malloc: %s", strerror(errno));
        return -1;
    }
    free(*product);
    *product = new_product;
    if (new_hw_build) {
        free(*hw_build);
        *hw_build = new_hw_build;
    }
    return 0;
}
