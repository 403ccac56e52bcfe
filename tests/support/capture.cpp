#include "support/capture.h"

#include <stdio.h>
#include <sys/mman.h>
#include <unistd.h>

int anonymous_temp_file() {
    return memfd_create("vf-capture", 0);
}

std::string read_whole_file(int fd) {
    std::string text;
    char buf[4096];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<size_t>(n));
    close(fd);
    return text;
}

output_capture::output_capture() {
    fflush(nullptr);
    for (int i = 0; i < 2; i++) {
        saved_[i] = dup(i + 1);
        files_[i] = anonymous_temp_file();
        dup2(files_[i], i + 1);
    }
}

void output_capture::stop() {
    if (stopped_)
        return;
    stopped_ = true;
    fflush(nullptr);
    for (int i = 0; i < 2; i++) {
        dup2(saved_[i], i + 1);
        close(saved_[i]);
    }
    out_ = read_whole_file(files_[0]);
    err_ = read_whole_file(files_[1]);
}
