// The machine-readable record of a run (--report FILE): one JSON object per
// line, one line per event, each written with one write() as the run goes, so
// that a run that dies leaves every event before it. Every key is listed in
// the man page (velkan-flasher(8), RECORD). Without --report every call here
// returns at once and touches nothing.
#pragma once

#include <stdint.h>

struct hw_ident;
struct image_set;
struct subimage;
struct nand_part;

// Creates (or truncates) the record at path. 0, or -1 (reported).
int report_open(const char *path);
// True once the record is open.
bool report_active();

// The run begins: the tool's version and commit, and the mode ("flash",
// "simulate" or "check").
void report_start(const char *version, const char *commit, const char *mode);
// The identity the run goes by; override: it came from -h.
void report_identity(const hw_ident *ident, bool override);
// The container that was opened.
void report_container(const image_set *set, const char *path);
// The image picked for a component: index is its place among the images of
// its file (from 1), 0 for a loose file; checksum is the header's.
void report_image(const char *component, const subimage *img, int index, uint16_t checksum);
// The image's data read in full before the flash: its CRC-32 (crc_given: the
// image carries one, which it equals), the header's 16-bit checksum and the
// one computed.
void report_data(const char *component, uint32_t bytes, uint32_t crc, bool crc_given,
                 uint16_t checksum, uint16_t computed);
// The memory the flash needs; available: what the kernel says, -1 when it
// does not.
void report_memory(uint64_t needed, int64_t available);
// The component's partition as opened, and the length the component takes on
// it; count bad blocks, the first listed of them in bad.
void report_partition(nand_part *part, uint64_t length, const uint32_t *bad, int listed, int count);
// A phase of a partition's flash ("erase", "write", "read_back") begins, over
// this many blocks and bytes; a read-back also takes the ECC counts.
void report_phase_start(nand_part *part, const char *phase, uint32_t blocks, uint64_t bytes);
// A bad block that a phase stepped over.
void report_bad_block(nand_part *part, uint32_t block);
// The phase ends: succeeded or not, the blocks and bytes it did; a read-back
// adds the bit flips the ECC corrected and could not correct meanwhile.
void report_phase_end(nand_part *part, bool ok, uint32_t blocks, uint64_t bytes);
// With --mark-bad: a block failed (operation, error) and was tested; retired:
// it failed the test too and was marked bad, otherwise it is used again.
void report_block_fault(nand_part *part, uint32_t block, const char *operation, const char *error,
                        bool retired);
// The component's partition was flashed completely.
void report_completed(const char *component);
// The run ends with this status; gives the status back. Only the first end
// (or stop) is written.
int report_end(int status);
// The run is ended by this stop signal.
void report_stopped(int sig);
