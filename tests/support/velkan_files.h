// Containers on disk for tests: scratch files and opened image sets.
#pragma once

#include "support/process.h"
#include "velkan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

struct opened {
    int result = -1;
    int refused = 0; // allocations that failed
    std::string out, err, path;
    image_set *set = nullptr;
};

// Scratch files and image sets that go away with the test.
class container_test : public ::testing::Test {
  protected:
    ~container_test() override;
    temp_dir dir;
    // A zero-filled set, released with the test.
    image_set *new_set();
    // Writes the bytes to a new file and opens it with image_open at the given
    // verbosity, capturing the output; with memory for granted allocations only
    // when granted is not negative.
    opened open_bytes(const std::string &content, int level = 0, long granted = -1);

  private:
    std::vector<image_set *> sets_;
    int files_ = 0;
};
