#include "support/process.h"

#include "support/capture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

tool_result run_binary(const char *binary, const std::vector<std::string> &args, bool reader_gone,
                       const std::function<void(int)> &meanwhile = {}) {
    std::vector<char *> argv = {const_cast<char *>(VF_EMULATOR), const_cast<char *>(binary)};
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    int ends[2] = {-1, -1};
    if (reader_gone && pipe(ends) == 0)
        close(ends[0]);
    int out = reader_gone ? ends[1] : anonymous_temp_file(), err = anonymous_temp_file();
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(open("/dev/null", O_RDONLY), 0);
        dup2(out, 1);
        dup2(err, 2);
        signal(SIGPIPE, SIG_DFL);
        char **start = argv[0][0] ? argv.data() : argv.data() + 1;
        execv(start[0], start);
        _exit(127);
    }
    if (meanwhile)
        meanwhile(pid);
    tool_result result;
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (reader_gone)
        close(out);
    else
        result.out = read_whole_file(out);
    result.err = read_whole_file(err);
    return result;
}

} // namespace

tool_result run_tool(const std::vector<std::string> &args, bool reader_gone) {
    return run_binary(VF_TOOL_PATH, args, reader_gone);
}

tool_result run_pack(const std::vector<std::string> &args,
                     const std::function<void(int)> &meanwhile) {
    return run_binary(VF_PACK_PATH, args, false, meanwhile);
}

temp_dir::temp_dir() {
    char name[] = "/tmp/vf-test-XXXXXX";
    if (!mkdtemp(name))
        abort();
    path_ = name;
}

temp_dir::~temp_dir() {
    EXPECT_EQ(system(("rm -rf '" + path_ + "'").c_str()), 0) << path_;
}

std::string temp_dir::write(const std::string &name, const std::string &bytes) const {
    std::string file = path_ + "/" + name;
    FILE *f = fopen(file.c_str(), "wb");
    if (!f || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size())
        abort();
    fclose(f);
    return file;
}
