// Files that velkan-pack writes: beside their destination first, renamed into
// place when complete.
#pragma once

#include <stdio.h>

#include <string>

namespace pack {

// True when both paths name the same existing file.
bool same_file(const std::string &a, const std::string &b);

// A file written beside its destination and renamed into place by commit():
// the destination holds either what it held before or the whole new content.
class output_file {
  public:
    explicit output_file(const std::string &path);
    ~output_file();
    output_file(const output_file &) = delete;
    output_file &operator=(const output_file &) = delete;

    const std::string &temp_path() const {
        return temp_;
    }
    void write(const void *bytes, size_t count);
    // Completes the temporary file on disk.
    void finish();
    // Puts it in place of the destination.
    void commit();

  private:
    std::string path_, temp_;
    FILE *file_ = nullptr;
};

} // namespace pack
