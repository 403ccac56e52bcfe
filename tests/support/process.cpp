#include "support/process.h"
#include "support/capture.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// stdout_reader_gone: the binary's stdout is a pipe whose reading end is closed.
tool_result run_binary(const char *binary, const std::vector<std::string> &args,
                       bool stdout_reader_gone = false) {
    std::vector<std::string> argv_strings;
    if (strlen(VF_EMULATOR) > 0)
        argv_strings.push_back(VF_EMULATOR);
    argv_strings.push_back(binary);
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &s : argv_strings)
        argv.push_back(const_cast<char *>(s.c_str()));
    argv.push_back(nullptr);

    tool_result result;
    int out = anonymous_temp_file();
    int err = anonymous_temp_file();
    if (out < 0 || err < 0)
        return result;
    if (stdout_reader_gone) {
        int ends[2];
        if (pipe(ends) < 0)
            return result;
        close(ends[0]);
        close(out);
        out = ends[1];
    }
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(out, 1);
        dup2(err, 2);
        // As a shell would start it, whatever this process does with the signal.
        signal(SIGPIPE, SIG_DFL);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid)
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (!stdout_reader_gone)
        result.out = read_whole_file(out);
    result.err = read_whole_file(err);
    close(out);
    close(err);
    return result;
}

} // namespace

tool_result run_tool(const std::vector<std::string> &args) {
    return run_binary(VF_TOOL_PATH, args);
}

tool_result run_tool_with_stdout_reader_gone(const std::vector<std::string> &args) {
    return run_binary(VF_TOOL_PATH, args, true);
}

tool_result run_pack(const std::vector<std::string> &args) {
    return run_binary(VF_PACK_PATH, args);
}

temp_dir::temp_dir() {
    char name[] = "/tmp/vf-test-XXXXXX";
    if (!mkdtemp(name))
        abort();
    path_ = name;
}

temp_dir::~temp_dir() {
    std::string command = "rm -rf '" + path_ + "'";
    if (system(command.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", path_.c_str());
}

std::string temp_dir::write(const std::string &name, const std::string &bytes) const {
    std::string file = path_ + "/" + name;
    FILE *f = fopen(file.c_str(), "wb");
    if (!f)
        abort();
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    return file;
}
