// The phases of a partition's flash (erase, write, read back) as they go: one
// line per component and phase on stderr with its percentage done
// (--progress), and the phase's start and end in the record (--report).
// Without either option nothing here writes or asks the device anything.
#pragma once

#include <stdint.h>

struct nand_part;

// The phases, in the order of a flash.
constexpr int phase_erase = 0;
constexpr int phase_write = 1;
constexpr int phase_read_back = 2;

// Turns the percentage lines on: on a terminal one line per phase, rewritten
// in place; otherwise a line at each tenth of the phase.
void progress_enable();

// One phase of one partition's flash, for as long as it lives; it ends as a
// failure unless succeeded() was called.
class flash_phase {
  public:
    flash_phase(nand_part *part, int phase, uint64_t bytes);
    ~flash_phase();
    flash_phase(const flash_phase &) = delete;
    flash_phase &operator=(const flash_phase &) = delete;
    void succeeded() {
        ok_ = true;
    }

  private:
    nand_part *part_;
    bool ok_ = false;
};

// One more block of the phase under way is done, with bytes of it.
void flash_phase_step(uint32_t bytes);
