// What the run learns about the device and the images before anything is
// touched, as facts: one line each on stdout with --check (which then writes
// nothing), and events of the record with --report. Without either option
// nothing here prints or asks the device anything.
#pragma once

#include <stdint.h>

struct hw_ident;
struct image_set;
struct subimage;
struct nand_part;

// Non-zero with --check: everything a flash would check is checked, on the
// partitions opened read-only, and nothing is written, killed or restarted.
extern int check_only;

// The identity the run goes by (override: it came from -h).
void check_identity(const hw_ident *ident, bool override);
// The container opened from path.
void check_container(const image_set *set, const char *path);
// The image picked for the component: its place among the images of its file,
// name, version, size and data offset.
void check_image(const char *component, const image_set *set, const subimage *img);
// The component's partition: geometry, bad blocks, usable size and the length
// the component takes (the fit itself is the flash's own check).
void check_partition(nand_part *part, uint64_t length);
// The partition's OOB layout takes the clean marker.
void check_cleanmarker(const nand_part *part);
// The checks before the flash passed: nothing more is noted, and --check
// says so in its last line.
void check_finished();
