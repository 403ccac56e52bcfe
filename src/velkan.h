// The VELKAN firmware container: subblock lists, the container reader, loose
// image files, byte access to component data and component selection.
//
// Failures: every function here that can fail reports it once on stderr and
// returns a negative value (a lookup: null); callers test only the sign.
#pragma once

#include "velkan_format.h"

#include <stdint.h>

struct hw_ident;

// Appends a copy of len bytes from src as a record of the given type.
// 0; -1 for a length outside 0..255 or no memory for the value; -12 when the
// record itself cannot be allocated. The list is unchanged on failure.
int subblock_add(subblock **list, int type, int len, const void *src);
// Decodes one encoded subblock from bytes (remaining bytes available) and
// appends it. The number of bytes consumed (L + 2), or -1.
int subblock_parse(subblock **list, const uint8_t *bytes, int remaining);
// The n-th (from 0) record of the type, or null.
subblock *subblock_find(subblock *list, int type, int n);
// Releases every record of the list.
void subblock_list_free(subblock *list);

// One component image, from a container or from a loose file.
struct subimage {
    char name[12];           // NUL-padded, not always terminated
    uint32_t size;           // data_size rounded up to a multiple of 128
    uint32_t data_size;      // real number of data bytes
    uint16_t checksum;       // from the FILE_DATA subblock, never checked
    char path[512];          // file that holds the data
    uint32_t data_offset;    // first data byte within that file
    int fd;                  // -1 until the first read opens it
    bool fd_shared;          // fd is the container's, which the set owns
    uint8_t *subblock_bytes; // header subblock bytes as in the file
    uint32_t subblock_len;
    subblock *subblocks;
    subimage *next;
};

struct image_set {
    uint32_t file_size;
    uint8_t *header_bytes;
    uint32_t header_len;
    subblock *header_subblocks;
    subimage *subimages; // loose files first, then the container's in file order
    int container_fd;    // the container's descriptor, when has_container
    bool has_container;
};

// Container reader: headers only, data areas are skipped. Refuses a path of
// more than 511 characters and a file of 4 GiB or more. The container's
// descriptor stays open in the set and serves every read of its images' data,
// so that they come from the file that was opened, whatever is renamed over
// its path later. 0, or -1.
int image_open(image_set *set, const char *path);
// Releases the set (allocated zero-filled with calloc) and everything in it,
// closing the data files that reads opened.
void image_set_free(image_set *set);

// Puts the file at path in front of the list as component name (at most 12
// characters are kept). Refuses a path of more than 511 characters, anything
// but a regular file, and a file whose rounded size does not fit 32 bits. 0,
// or -1; stops the program when the record cannot be allocated.
int velkan_add_subimage(image_set *set, const char *name, const char *path, subimage **out);
// The exclusive-or of the little-endian 16-bit words of the image's data and
// filler. 0, or -1.
int subimage_checksum(subimage *img, uint16_t *result);
// The same over count bytes in memory (an odd last byte does not count).
uint16_t xor_words16(const uint8_t *bytes, uint32_t count);
// Fills buf with count bytes from offset of the subimage's data, 0xFF past
// data_size, with one seek and at most one read. The first call opens the file
// and the descriptor is kept. offset + count must not exceed size: the program
// stops otherwise. 0, or -1.
int velkan_read_bytes(subimage *img, uint32_t offset, void *buf, uint32_t count);

// The first subimage of the name that fits the device (ident may be null), or
// null (reported only when a product / HW rev subblock is malformed).
subimage *image_find_component(image_set *set, const hw_ident *ident, const char *name);
