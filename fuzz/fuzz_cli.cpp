// The whole command line, up to the first system effect: the input is split at
// NUL bytes into arguments.
#include "log.h"
#include "main.h"

#include <getopt.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    char *text = static_cast<char *>(malloc(size + 1));
    memcpy(text, data, size);
    text[size] = 0;
    char *argv[66];
    int argc = 0;
    argv[argc++] = const_cast<char *>("velkan-flasher");
    for (size_t i = 0; i <= size && argc < 65;) {
        argv[argc++] = text + i;
        i += strlen(text + i) + 1;
    }
    argv[argc] = nullptr;

    optind = 0;
    opterr = 0;
    verbosity = 0;
    simulate = 0;
    run_settings settings = {};
    int result = parse_command_line(argc, argv, &settings);
    if (result != cli_run && result != cli_usage && result != 2)
        abort();
    if (result == cli_run) {
        if (settings.flash_requests == 0 || settings.component_mask == 0)
            abort();
        if (settings.component_mask & ~component_all)
            abort();
    }
    free(settings.override_product);
    free(settings.override_hw_build);
    free(text);
    return 0;
}
