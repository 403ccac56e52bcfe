// Command line and run sequence.
#pragma once

// Prints the usage text to stdout and ends the process with status 2.
[[noreturn]] void print_usage();
