// What the run learns about the device and the images before anything is
// touched, as facts: one line each on stdout with --check (which then writes
// nothing), and events of the record with --report. Without either option
// nothing here prints, reads or asks the device anything.
#pragma once

#include <stdint.h>

struct hw_ident;
struct image_set;
struct subimage;
struct nand_part;
struct preflight_image;
struct preflight_result;

// Non-zero with --check: everything a flash would check is checked, on the
// partitions opened read-only, and nothing is written, killed or restarted.
extern int check_only;

// The identity the run goes by (override: it came from -h).
void check_note_identity(const hw_ident *ident, bool override);
// The container opened from path.
void check_note_container(const image_set *set, const char *path);
// The image picked for the component: its place among the images of its file,
// size, version and data offset.
void check_note_image(const char *component, const image_set *set, const subimage *img);
// The component's partition: geometry, bad blocks, usable size and the length
// the component takes (the fit itself is the flash's own check).
void check_note_partition(nand_part *part, uint64_t length);
// The partition's OOB layout takes the clean marker.
void check_note_cleanmarker(const nand_part *part);
// The next count bytes of the image being read, for its 16-bit checksum.
void check_note_chunk(const uint8_t *bytes, uint32_t count);
// The image was read in full and its CRC-32 checked: the CRC and the 16-bit
// checksum of the bytes noted, against the header's (a mismatch is a warning).
void check_note_data(const preflight_image *p);
// The checks before the flash passed: the memory the flash needs, then
// nothing more is noted, and --check says so in its last line.
void check_finished(const preflight_result *checked);
