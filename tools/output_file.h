// Files that velkan-pack writes: beside their destination first, renamed into
// place when complete, and removed when a signal ends the run before that.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace pack {

// True when both paths name the same existing file.
bool same_file(const std::string &a, const std::string &b);

// A file written beside its destination and renamed into place by commit():
// the destination holds either what it held before or the whole new content.
// A destination that exists and is not a regular file (a device, a FIFO, a
// symbolic link) is refused and never replaced. SIGINT, SIGTERM and SIGHUP
// (unless ignored at start) remove the temporary file before they end the run.
class output_file {
  public:
    explicit output_file(const std::string &path);
    ~output_file();
    output_file(const output_file &) = delete;
    output_file &operator=(const output_file &) = delete;

    const std::string &temp_path() const {
        return temp_;
    }
    // The bytes written so far.
    uint64_t size() const {
        return size_;
    }
    void write(const void *bytes, size_t count);
    void write(const std::string &bytes) {
        write(bytes.data(), bytes.size());
    }
    // Writes again over bytes written before.
    void write_at(uint64_t offset, const std::string &bytes);
    // Completes the temporary file on disk.
    void finish();
    // Puts it in place of the destination.
    void commit();

  private:
    std::string path_, temp_;
    int fd_ = -1;
    uint64_t size_ = 0;
};

} // namespace pack
