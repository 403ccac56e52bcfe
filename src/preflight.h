// The checks before the first erase: the container's extent, each selected
// component's image and partition, the memory its flash needs, and every
// selected image read in full once with its CRC-32. They write nothing and
// print only the line of a refusal, so that a refusal leaves every partition
// as it was; what they found is handed back for the flash and for a report.
#pragma once

#include "events.h"
#include "nand.h"
#include "run_options.h"

#include <stdint.h>

struct hw_ident;
struct image_set;
struct sign_keys;
struct subimage;

// One component: its name (that of its partition too), whether a kernel boot
// header page precedes it and the mode it is flashed in.
struct component {
    const char *name;
    bool with_header;
    int mode;
};
extern const component kernel_component;
extern const component initfs_component;

// Gets the component's partition and checks that it takes img: outside
// simulation it is opened (read-only for --check) into *part, and its good
// blocks must hold the image with its header page and, for the clean markers,
// its OOB layout must take one; a simulated run takes simulated, a record
// that reckons with the largest page. The partition and the length the flash
// takes are events. The length into *length. 0, or -1 (reported) with
// nothing left open.
int component_open(const component &c, subimage *img, const run_options &options,
                   const run_events *events, nand_part *simulated, nand_part **part,
                   uint32_t *length);

// What to check.
struct preflight_request {
    bool kernel, initfs;
    const char *container;     // its path, or null when there is none
    uint32_t container_images; // the images image_open found in it
    run_options options;
    const run_events *events; // what the checks find; may be null
    // The device's public keys: with one or more, only a container signed
    // with one of them passes, and loose images do not. Null: none.
    const sign_keys *keys;
    const char *key_dir; // where they came from, for the lines of a refusal
};

// What the checks found for one selected component.
struct preflight_image {
    const component *c;
    subimage *img;
    nand_part *part; // its partition, open for the flash; the stand-alone record when simulated
    uint32_t length; // what its flash takes: the header page, then the image
    uint32_t crc;    // CRC-32 of the image's data and filler, as read
    bool crc_given;  // the image carries a CRC-32, which equals crc
};

struct preflight_result {
    preflight_image images[2]; // in flashing order: the kernel first
    int count;
    uint32_t largest;         // the largest length: the flash buffer
    uint32_t readback;        // the largest read-back of one erase block (or a smaller image)
    uint64_t memory_needed;   // largest plus one erase block of read-back
    int64_t memory_available; // MemAvailable in bytes; -1 when not reported
    bool extent_given;        // the container says how many images and bytes it holds
    nand_part simulated;      // the partition record of a simulated run
};

// Runs every check, in this order: the container's extent, its signature, each component's
// image and partition (the kernel first), the memory, the images' data. Fills
// *out as far as it got; the partitions it opened stay open for the flash,
// until preflight_release, on failure too. 0, or -1 after the line of the
// first refusal.
int preflight_run(image_set *set, const hw_ident *ident, const preflight_request *req,
                  preflight_result *out);
// Closes the partitions the checks opened.
void preflight_release(preflight_result *result);

// MemAvailable of a meminfo file in bytes; -1 when the file or the line is missing.
int64_t preflight_memory_available_in(const char *path);
