// The VELKAN firmware container: subblock lists, the container reader, loose
// image files, byte access to component data and component selection.
#pragma once

#include <stdint.h>

struct hw_ident;

// One type-length-value record of a header.
struct subblock {
    uint8_t type;
    uint8_t len;
    uint8_t *data; // owned copy of len bytes
    subblock *next;
};

// Appends a copy of len bytes from src as a record of the given type.
// 0; -1 for a length outside 0..255 or no memory for the value; -12 when the
// record itself cannot be allocated. The list is unchanged on failure.
int subblock_add(subblock **list, int type, int len, const void *src);
// Decodes one encoded subblock from bytes (remaining bytes available) and
// appends it. The number of bytes consumed (L + 2), or -1.
int subblock_parse(subblock **list, const uint8_t *bytes, int remaining);
// The n-th (from 0) record of the type, or null.
subblock *subblock_find(subblock *list, int type, int n);

// One component image, from a container or from a loose file.
struct subimage {
    char name[12];           // NUL-padded, not always terminated
    uint32_t size;           // data_size rounded up to a multiple of 128
    uint32_t data_size;      // real number of data bytes
    uint16_t checksum;       // from the FILE_DATA subblock, never checked
    char path[512];          // file that holds the data
    uint32_t data_offset;    // first data byte within that file
    int fd;                  // -1 until the first read opens it
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
};

uint16_t get_be16(const uint8_t *bytes);
uint32_t get_be32(const uint8_t *bytes);
void put_be16(uint8_t *bytes, uint16_t value);
void put_be32(uint8_t *bytes, uint32_t value);

// Container reader: headers only, data areas are skipped. Refuses a path of
// more than 511 characters and a file of 4 GiB or more; the container's
// descriptor is closed again before it returns. 0, or -1 after a report.
int image_open(image_set *set, const char *path);
int image_read_header(int fd, image_set *set);
void image_log_sw_version(image_set *set);
int image_read_subimage(int fd, uint32_t pos, const char *path, image_set *set);
int subimage_read_file_data(subimage *img);
void subimage_log_valid_for(subimage *img);
void subimage_log_version(subimage *img);
void subimage_log_partitions(subblock *partitions);

// Loose image files and data access.
// Puts the file at path in front of the list as component name (at most 12
// characters are kept). Refuses a path of more than 511 characters, anything
// but a regular file, and a file whose rounded size does not fit 32 bits. 0, or -1 after a report;
// stops the program when the record cannot be allocated.
int velkan_add_subimage(image_set *set, const char *name, const char *path, subimage **out);
int subimage_make_file_data(subimage *img);
int subimage_checksum(subimage *img, uint16_t *result);
uint16_t xor_words16(const uint8_t *bytes, uint32_t count);
int subimage_add_subblock(subimage *img, int type, int len, const void *bytes);
// Fills buf with count bytes from offset of the subimage's data, 0xFF past
// data_size, with one seek and at most one read. The first call opens the file
// and the descriptor is kept. offset + count must not exceed size: the program
// stops otherwise. 0, or -1 after a report.
int velkan_read_bytes(subimage *img, uint32_t offset, void *buf, uint32_t count);

// The first subimage of the name that fits the device (ident may be null), or null.
subimage *image_find_component(image_set *set, const hw_ident *ident, const char *name);
