#include "support/capture.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int anonymous_temp_file() {
    char name[] = "/tmp/vf-capture-XXXXXX";
    int fd = mkstemp(name);
    if (fd >= 0)
        unlink(name);
    return fd;
}

std::string read_whole_file(int fd) {
    std::string text;
    char buf[4096];
    lseek(fd, 0, SEEK_SET);
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        text.append(buf, static_cast<size_t>(n));
    }
    return text;
}

output_capture::output_capture() {
    fflush(stdout);
    fflush(stderr);
    saved_out_ = dup(1);
    saved_err_ = dup(2);
    file_out_ = anonymous_temp_file();
    file_err_ = anonymous_temp_file();
    if (saved_out_ < 0 || saved_err_ < 0 || file_out_ < 0 || file_err_ < 0)
        abort();
    dup2(file_out_, 1);
    dup2(file_err_, 2);
}

output_capture::~output_capture() {
    stop();
}

void output_capture::stop() {
    if (stopped_)
        return;
    stopped_ = true;
    fflush(stdout);
    fflush(stderr);
    dup2(saved_out_, 1);
    dup2(saved_err_, 2);
    close(saved_out_);
    close(saved_err_);
    out_ = read_whole_file(file_out_);
    err_ = read_whole_file(file_err_);
    close(file_out_);
    close(file_err_);
}

const std::string &output_capture::out() {
    stop();
    return out_;
}

const std::string &output_capture::err() {
    stop();
    return err_;
}
