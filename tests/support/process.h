// Runs the tools of this build as subprocesses.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct tool_result {
    int status = -1; // exit status, or 128 + signal number
    std::string out, err;
};

// The velkan-flasher binary (through the emulator in a cross build); with
// reader_gone, stdout is a pipe whose reading end is closed (out stays empty).
tool_result run_tool(const std::vector<std::string> &args, bool reader_gone = false);
// The velkan-pack binary; meanwhile, when given, is called with its process id
// while it runs.
tool_result run_pack(const std::vector<std::string> &args,
                     const std::function<void(int)> &meanwhile = {});

// A temporary directory removed with everything in it when the object goes.
class temp_dir {
  public:
    temp_dir();
    ~temp_dir();
    const std::string &path() const {
        return path_;
    }
    // Writes a file below the directory and returns its path.
    std::string write(const std::string &name, const std::string &bytes) const;

  private:
    std::string path_;
};
