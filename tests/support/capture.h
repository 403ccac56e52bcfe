// Captures what the code under test writes to stdout and stderr.
#pragma once

#include <string>

// A temporary file that is already unlinked; -1 on failure.
int anonymous_temp_file();
// Everything in the file behind fd, read from its start.
std::string read_whole_file(int fd);

class output_capture {
  public:
    output_capture();
    ~output_capture();
    output_capture(const output_capture &) = delete;
    output_capture &operator=(const output_capture &) = delete;

    // Stops capturing (once) and returns what was written.
    void stop();
    const std::string &out();
    const std::string &err();

  private:
    int saved_out_ = -1, saved_err_ = -1;
    int file_out_ = -1, file_err_ = -1;
    bool stopped_ = false;
    std::string out_, err_;
};
