// velkan-pack's output files.
#include "output_file.h"

#include "pack.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pack {

bool same_file(const std::string &a, const std::string &b) {
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

output_file::output_file(const std::string &path) : path_(path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    temp_ = dir + "." + path.substr(dir.size()) + ".XXXXXX";
    int fd = mkstemp(&temp_[0]);
    file_ = fd < 0 ? nullptr : fdopen(fd, "wb");
    if (!file_) {
        int saved = errno;
        if (fd >= 0) {
            close(fd);
            unlink(temp_.c_str());
        }
        temp_.clear();
        throw failure(path + ": " + strerror(saved));
    }
    // mkstemp makes the file private; give it the mode a new file gets.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fileno(file_), 0666 & ~mask);
}

output_file::~output_file() {
    if (file_)
        fclose(file_);
    if (!temp_.empty())
        unlink(temp_.c_str());
}

void output_file::write(const void *bytes, size_t count) {
    if (fwrite(bytes, 1, count, file_) != count)
        throw failure(path_ + ": " + strerror(errno));
}

void output_file::finish() {
    bool ok = fflush(file_) == 0 && fsync(fileno(file_)) == 0;
    ok = fclose(file_) == 0 && ok;
    file_ = nullptr;
    if (!ok)
        throw failure(path_ + ": " + strerror(errno));
}

void output_file::commit() {
    if (file_)
        finish();
    if (rename(temp_.c_str(), path_.c_str()) < 0)
        throw failure(path_ + ": " + strerror(errno));
    temp_.clear();
}

} // namespace pack
