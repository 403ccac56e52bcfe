// What a run does, as one stream of events. The container, device, engine and
// run code emit them with their values; the outputs (--check's lines,
// --progress, the --report record) observe them and keep their own state.
// The emitters never name an output: main wires the observers in.
#pragma once

#include <stdint.h>

struct hw_ident;
struct image_set;
struct nand_part;
struct subimage;

enum class event_kind {
    start,       // the run begins: version, commit, mode
    identity,    // the identity the run goes by: ident, override
    container,   // the container opened: set, path
    image,       // the image picked for component: set, img, index, checksum
    partition,   // component's partition opened: part, length
    cleanmarker, // component's partition takes the clean marker: part
    data,        // component's image read in full: img, crc, crc_given, checksum,
                 // computed (with options.checksums)
    memory,      // what the flash needs: needed, available (-1: not reported)
    signature,   // the container's signature: signed_container, key_id (when signed),
                 // key_name (the device's key that verified it; null without keys)
    checked,     // every check before the flash passed
    plan,        // a flash follows: bytes, what all its phases are to do (each
                 // selected component's erase, write and read back)
    phase_start, // part, phase, blocks, bytes
    phase_step,  // part, phase, bytes (one block of the phase done)
    phase_end,   // part, phase, ok, blocks, bytes, ecc_known, ecc_corrected, ecc_failed
    bad_block,   // part, phase, block: a bad block the phase stepped over
    block_ecc,   // part, phase, block, ecc_corrected, ecc_failed, ecc_max (ecc_known: per
                 // read), weak: what the ECC did on one block read back, where not nothing
    block_fault, // part, block, operation, text, retired (--mark-bad)
    completed,   // component: its partition was flashed completely
    error,       // text: an error line the run printed
    stopped,     // a stop signal ends the run: signal, status, completed
    end,         // the run ends (or restarts the device): status, completed
};

// The phases of a partition's flash, in their order.
enum class flash_phase_kind { erase, write, read_back };

struct event {
    event_kind kind;
    const char *component;             // the component, which is also its partition's name
    const char *text;                  // an error line; a block fault's reason
    const char *path;                  // the container's path
    const char *mode;                  // "flash", "simulate" or "check"
    const char *version;               // the tool's
    const char *commit;                // the tool's build's
    const char *operation;             // a block fault's operation
    const char *key_name;              // the key file that verified a signature
    const uint8_t *key_id;             // the signing key's number (8 bytes)
    const char *const *completed_list; // the partitions completed so far, in order
    int completed_count;
    const hw_ident *ident;
    const image_set *set;
    const subimage *img;
    const nand_part *part;
    flash_phase_kind phase;
    bool override_identity;
    bool crc_given;
    bool signed_container;
    bool ok;
    bool retired;
    bool ecc_known;
    bool weak;
    int index; // the image's place among the images of its file, from 1; 0: a loose file
    int status;
    int signal;
    uint16_t checksum; // the header's 16-bit checksum
    uint16_t computed; // the one computed over the data and filler read
    uint32_t crc;
    uint32_t block;
    uint32_t blocks;
    uint64_t bytes;
    uint64_t length; // what the component takes on its partition
    uint64_t needed;
    int64_t available;
    uint32_t ecc_corrected, ecc_failed, ecc_max;
};

// One output: notified of every event, with the state it owns.
struct event_observer {
    void (*notify)(void *state, const event &e);
    void *state;
};

// The observers of a run.
struct run_events {
    static constexpr int max_observers = 4;
    event_observer observers[max_observers];
    int count;
};

// Adds an observer; false when the list is full.
bool events_observe(run_events *events, event_observer observer);
// Hands e to every observer in the order they were added; events may be null.
void events_emit(const run_events *events, const event &e);
// An event of that kind with every value zero or null.
event event_of(event_kind kind);
