// Runs the tool as a subprocess.
#pragma once

#include <string>
#include <vector>

struct tool_result {
    int status = -1; // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// Runs the velkan-flasher binary of this build with the arguments (through the
// emulator in a cross build) and collects its output.
tool_result run_tool(const std::vector<std::string> &args);
// The same with stdout a pipe whose reading end is already closed (out stays empty).
tool_result run_tool_with_stdout_reader_gone(const std::vector<std::string> &args);
// The same for the velkan-pack binary of this build.
tool_result run_pack(const std::vector<std::string> &args);

// A temporary directory removed with everything in it when the object goes.
class temp_dir {
  public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    const std::string &path() const {
        return path_;
    }
    // Writes a file below the directory and returns its path.
    std::string write(const std::string &name, const std::string &bytes) const;

  private:
    std::string path_;
};
