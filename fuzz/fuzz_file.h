// The fuzz input as a file, for readers that take a path.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

// Writes the input to a file of this process and returns its path.
inline const char *fuzz_input_file(const uint8_t *data, size_t size) {
    static char path[64];
    snprintf(path, sizeof path, "/tmp/vf-fuzz-%d", static_cast<int>(getpid()));
    FILE *file = fopen(path, "wb");
    if (!file || fwrite(data, 1, size, file) != size)
        abort();
    fclose(file);
    return path;
}
