// The whole command line, up to the first system effect: the input is split at
// NUL bytes into arguments.
#include "log.h"
#include "main.h"

#include <getopt.h>
#include <stdlib.h>
#include <string.h>

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    char *argv[66] = {const_cast<char *>("velkan-flasher")};
    int argc = 1;
    for (char *at = &text[0]; at <= &text[size] && argc < 65; at += strlen(at) + 1)
        argv[argc++] = at;
    optind = 0;
    opterr = 0;
    verbosity = 0;
    run_settings settings = {};
    parse_command_line(argc, argv, &settings);
    free(settings.override_product);
    free(settings.override_hw_build);
    return 0;
}
