// Containers on disk for tests: scratch files, opened image sets, clean-up.
#pragma once

#include "support/process.h"
#include "velkan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// A subblock list that is released with the object.
struct subblock_list {
    subblock *head = nullptr;
    subblock_list() = default;
    subblock_list(const subblock_list &) = delete;
    subblock_list &operator=(const subblock_list &) = delete;
    ~subblock_list();
};

void free_list(subblock *list);
// Releases the set with everything in it and closes the subimages' descriptors.
void release_image_set(image_set *set);

struct opened {
    int result = -1;
    std::string out, err;
    std::string path;
    image_set *set = nullptr;
};

// Scratch files and image sets that go away with the object.
class container_scratch {
  public:
    container_scratch() = default;
    container_scratch(const container_scratch &) = delete;
    container_scratch &operator=(const container_scratch &) = delete;
    ~container_scratch();

    temp_dir dir;

    // A zero-filled set, released with the scratch.
    image_set *new_set();
    // Writes the bytes to a new file and opens it with image_open at the given
    // verbosity, capturing the output.
    opened open_bytes(const std::string &content, int level = 0);
    // A file path of exactly length characters below dir; its directories exist.
    std::string long_path(size_t length);

  private:
    std::vector<image_set *> sets_;
    int files_ = 0;
};

class container_test : public ::testing::Test, public container_scratch {
  protected:
    void SetUp() override;
    void TearDown() override;
};

// Bytes this process has read so far (read calls of any kind), or -1 when the
// system does not account for them.
long long bytes_read_so_far();
