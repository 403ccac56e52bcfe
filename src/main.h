// Command line and run sequence.
#pragma once

#include "run_options.h"

// Bits of the component mask.
constexpr int component_pirl = 1;
constexpr int component_kernel = 2;
constexpr int component_initfs = 4;
constexpr int component_all = 15; // what no option chose: kernel and initfs

// What the command line asks for. Paths point into the argument list.
struct run_settings {
    int flash_requests;
    const char *container_path;
    const char *kernel_path;
    const char *initfs_path;
    char *override_product; // from -h, heap strings
    char *override_hw_build;
    bool restart;
    bool kill_request;
    int component_mask;
    const char *report_path; // --report
    bool progress;           // --progress
    run_options options;
};

// Results of parse_command_line besides an exit status.
constexpr int cli_run = -1;   // go on with the run
constexpr int cli_usage = -2; // show the usage text (status 2)

// Parses the options into settings, raising verbosity as it goes.
// cli_run, cli_usage, or the exit status to end with at once.
int parse_command_line(int argc, char **argv, run_settings *settings);

// Prints the usage text to stdout and ends the process with status 2.
[[noreturn]] void print_usage();
// Prints the usage text and the options beyond it to stdout (--help).
void print_help();
