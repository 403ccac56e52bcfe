#include "velkan.h"

#include "log.h"

#include <stdlib.h>
#include <string.h>

int subblock_add(subblock **list, int type, int len, const void *src) {
    if (len < 0 || len > 255)
        return -1;
    subblock **tail = list;
    while (*tail)
        tail = &(*tail)->next;
    subblock *sb = static_cast<subblock *>(calloc(1, sizeof(subblock)));
    if (!sb) {
        error_no_memory(sizeof(subblock));
        return -12;
    }
    sb->type = static_cast<uint8_t>(type);
    sb->len = static_cast<uint8_t>(len);
    // At least one byte, so that an empty value is not mistaken for a failure.
    sb->data = static_cast<uint8_t *>(malloc(len ? static_cast<size_t>(len) : 1));
    if (!sb->data) {
        error_no_memory(len ? static_cast<unsigned>(len) : 1u);
        free(sb);
        return -1;
    }
    if (len)
        memcpy(sb->data, src, static_cast<size_t>(len));
    *tail = sb;
    return 0;
}

int subblock_parse(subblock **list, const uint8_t *bytes, int remaining) {
    if (remaining < 2)
        return -1;
    int type = bytes[0];
    int len = bytes[1];
    if (len + 2 > remaining)
        return -1;
    if (subblock_add(list, type, len, bytes + 2) < 0)
        return -1;
    return len + 2;
}

subblock *subblock_find(subblock *list, int type, int n) {
    for (subblock *sb = list; sb; sb = sb->next) {
        if (sb->type != type)
            continue;
        if (n == 0)
            return sb;
        n--;
    }
    return nullptr;
}

void subblock_list_free(subblock *list) {
    while (list) {
        subblock *next = list->next;
        free(list->data);
        free(list);
        list = next;
    }
}
