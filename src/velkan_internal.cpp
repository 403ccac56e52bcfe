#include "velkan_internal.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

char report_prefix[640];

} // namespace

void velkan_fail(const char *line) {
    error("%s%s", report_prefix, line);
}

void velkan_fail_system(const char *label) {
    const char *reason = errno ? strerror(errno) : "file ends early";
    error("%s%s: %s", report_prefix, label, reason);
}

void velkan_report_as(const char *prefix) {
    snprintf(report_prefix, sizeof report_prefix, "%s", prefix);
}

void velkan_warn(const char *format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    error("%sWARNING: %s", report_prefix, line);
}

void velkan_check_failed(const char *text, unsigned line, const char *function) {
    fflush(stdout);
    fprintf(stderr, "velkan-flasher: velkan:%u: %s: Assertion `%s' failed.\n", line, function,
            text);
    abort();
}

subimage *subimage_new() {
    subimage *img = static_cast<subimage *>(calloc(1, sizeof(subimage)));
    if (img)
        img->fd = -1;
    return img;
}

void subimage_free(subimage *img) {
    if (img->fd >= 0 && !img->fd_shared)
        close(img->fd);
    subblock_list_free(img->subblocks);
    free(img->subblock_bytes);
    free(img);
}

bool velkan_read_exact(int fd, void *buf, size_t count) {
    errno = 0;
    ssize_t got = read(fd, buf, count);
    return got >= 0 && static_cast<size_t>(got) == count;
}
