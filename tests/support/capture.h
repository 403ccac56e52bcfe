// Captures what the code under test writes to stdout and stderr.
#pragma once

#include <string>

class output_capture {
  public:
    output_capture();
    ~output_capture() {
        stop();
    }
    // Stops capturing (once); out() and err() stop it too.
    void stop();
    const std::string &out() {
        return stop(), out_;
    }
    const std::string &err() {
        return stop(), err_;
    }

  private:
    int saved_[2], files_[2];
    bool stopped_ = false;
    std::string out_, err_;
};

// A file that is already unlinked, and everything in a file from its start.
int anonymous_temp_file();
std::string read_whole_file(int fd);
