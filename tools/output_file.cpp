// velkan-pack's output files.
#include "output_file.h"

#include "pack.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pack {

namespace {

// The temporary file that a signal removes before it ends the run; empty
// while there is none. Changed only with the signals held.
char pending[PATH_MAX];

const int cleanup_signals[] = {SIGINT, SIGTERM, SIGHUP};

void remove_pending_and_die(int sig) {
    if (pending[0])
        unlink(pending);
    signal(sig, SIG_DFL);
    raise(sig); // delivered as soon as the handler returns
}

sigset_t cleanup_set() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : cleanup_signals)
        sigaddset(&set, sig);
    return set;
}

// Installs the handler once; a signal ignored at start (nohup) stays ignored.
void catch_signals() {
    static bool installed;
    if (installed)
        return;
    installed = true;
    for (int sig : cleanup_signals) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        struct sigaction action = {};
        action.sa_handler = remove_pending_and_die;
        action.sa_mask = cleanup_set();
        sigaction(sig, &action, nullptr);
    }
}

// Holds the cleanup signals for as long as it lives.
class signals_held {
  public:
    signals_held() {
        sigset_t set = cleanup_set();
        sigprocmask(SIG_BLOCK, &set, &old_);
    }
    ~signals_held() {
        sigprocmask(SIG_SETMASK, &old_, nullptr);
    }
    signals_held(const signals_held &) = delete;
    signals_held &operator=(const signals_held &) = delete;

  private:
    sigset_t old_;
};

const char *kind_of(mode_t mode) {
    if (S_ISLNK(mode))
        return "a symbolic link";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    if (S_ISDIR(mode))
        return "a directory";
    return "not a regular file";
}

// Refuses a destination that exists and is anything but a regular file.
void check_destination(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        throw failure(path + ": is " + kind_of(st.st_mode) +
                      "; velkan-pack replaces regular files only");
}

} // namespace

bool same_file(const std::string &a, const std::string &b) {
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

output_file::output_file(const std::string &path) : path_(path) {
    check_destination(path);
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string temp = dir + "." + path.substr(dir.size()) + ".XXXXXX";
    if (temp.size() >= sizeof pending)
        throw failure(path + ": " + strerror(ENAMETOOLONG));
    catch_signals();
    signals_held held;
    fd_ = mkstemp(&temp[0]);
    if (fd_ < 0)
        throw failure(path + ": " + strerror(errno));
    temp_ = temp;
    memcpy(pending, temp.c_str(), temp.size() + 1);
    // mkstemp makes the file private; give it the mode a new file gets.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd_, 0666 & ~mask);
}

output_file::~output_file() {
    signals_held held;
    if (fd_ >= 0)
        close(fd_);
    if (!temp_.empty())
        unlink(temp_.c_str());
    pending[0] = 0;
}

void output_file::write(const void *bytes, size_t count) {
    const char *at = static_cast<const char *>(bytes);
    while (count > 0) {
        ssize_t done = ::write(fd_, at, count);
        if (done < 0 && errno == EINTR)
            continue;
        if (done < 0)
            throw failure(path_ + ": " + strerror(errno));
        at += done;
        count -= static_cast<size_t>(done);
        size_ += static_cast<uint64_t>(done);
    }
}

void output_file::write_at(uint64_t offset, const std::string &bytes) {
    ssize_t done = pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (done != static_cast<ssize_t>(bytes.size()))
        throw failure(path_ + ": " + strerror(done < 0 ? errno : EIO));
}

void output_file::finish() {
    bool ok = fsync(fd_) == 0;
    ok = close(fd_) == 0 && ok;
    fd_ = -1;
    if (!ok)
        throw failure(path_ + ": " + strerror(errno));
}

void output_file::commit() {
    if (fd_ >= 0)
        finish();
    check_destination(path_);
    signals_held held;
    if (rename(temp_.c_str(), path_.c_str()) < 0)
        throw failure(path_ + ": " + strerror(errno));
    temp_.clear();
    pending[0] = 0;
}

} // namespace pack
