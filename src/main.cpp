#include "main.h"

#include "flash.h"
#include "ident.h"
#include "kill.h"
#include "log.h"
#include "velkan.h"

#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/reboot.h>
#include <unistd.h>

namespace {

constexpr int opt_flash_only = 256;

const option long_options[] = {
    {"verbose", no_argument, nullptr, 'v'},
    {"flash", no_argument, nullptr, 'f'},
    {"reboot", no_argument, nullptr, 'R'},
    {"velkan", required_argument, nullptr, 'F'},
    {"kernel", required_argument, nullptr, 'k'},
    {"initfs", required_argument, nullptr, 'i'},
    {"kill", no_argument, nullptr, 'K'},
    {"hw-revision", required_argument, nullptr, 'h'},
    {"no-action", no_argument, nullptr, 'N'},
    {"flash-only", required_argument, nullptr, opt_flash_only},
    {nullptr, 0, nullptr, 0},
};

const char *const option_help[] = {
    "Increase verbosity level",
    "Flash supplied images",
    "Reboot the system after",
    "Location of a VELKAN image",
    "Location of kernel image",
    "Location of initfs image",
    "Kill processes on mounted initfs before flashing",
    "Set HW revision override",
    "Only simulate flashing",
    "Flash only certain components",
    nullptr,
};

static_assert(sizeof long_options / sizeof long_options[0] ==
                  sizeof option_help / sizeof option_help[0],
              "every option has its help line");

const char short_options[] = "vfF:k:i:RKh:N?";

// Bits of the component mask.
constexpr int component_pirl = 1;
constexpr int component_kernel = 2;
constexpr int component_initfs = 4;
constexpr int component_all = 15;

} // namespace

void print_usage() {
    printf("Usage: %s [OPTIONS]\nOptions:\n", "velkan-flasher");
    for (int i = 0; long_options[i].name; i++) {
        if (!option_help[i])
            continue;
        const option &opt = long_options[i];
        char short_part[8] = "";
        if (opt.val >= 1 && opt.val <= 127)
            snprintf(short_part, sizeof short_part, ", -%c", opt.val);
        const char *arg_part = opt.has_arg == required_argument   ? " <arg>"
                               : opt.has_arg == optional_argument ? " [arg]"
                                                                  : "";
        char column[64];
        snprintf(column, sizeof column, "--%s%s%s", opt.name, short_part, arg_part);
        if (strlen(column) > 29) {
            printf("  %s\n", column);
            column[0] = 0;
        }
        printf("  %-29s %s\n", column, option_help[i]);
    }
    exit(2);
}

int main(int argc, char **argv) {
    int flash_requests = 0;
    const char *container_path = nullptr;
    const char *kernel_path = nullptr;
    const char *initfs_path = nullptr;
    char *override_product = nullptr;
    char *override_hw_build = nullptr;
    bool restart = false;
    bool kill_request = false;
    int component_mask = 0;

    for (;;) {
        int c = getopt_long(argc, argv, short_options, long_options, nullptr);
        if (c == -1)
            break;
        switch (c) {
        case '?':
            print_usage();
        case 'v':
            verbosity++;
            break;
        case 'f':
            flash_requests++;
            break;
        case 'R':
            restart = true;
            break;
        case 'K':
            kill_request = true;
            break;
        case 'N':
            simulate++;
            break;
        case 'F':
            container_path = optarg;
            break;
        case 'k':
            kernel_path = optarg;
            component_mask |= component_kernel;
            break;
        case 'i':
            initfs_path = optarg;
            component_mask |= component_initfs;
            break;
        case 'h':
            if (parse_hw_override(optarg, &override_product, &override_hw_build) < 0)
                return 2;
            break;
        case opt_flash_only:
            if (strstr(optarg, "pirl"))
                component_mask |= component_pirl;
            if (strstr(optarg, "kernel"))
                component_mask |= component_kernel;
            if (strstr(optarg, "initfs"))
                component_mask |= component_initfs;
            if (component_mask == 0) {
                fputs("Valid --flash-only options:\npirl, kernel, initfs, rootfs\n", stderr);
                return 2;
            }
            break;
        default:
            break;
        }
    }

    if (flash_requests == 0) {
        fputs("Nothing to do!\n", stderr);
        print_usage();
    }
    if (component_mask == 0)
        component_mask = component_all;

    hw_ident ident = {};
    image_set *set = static_cast<image_set *>(calloc(1, sizeof(image_set)));
    if (!set) {
        perror("malloc");
        return 1;
    }

    bool override_complete = override_product && override_hw_build;
    if (read_hw_ident(&ident) < 0 && !override_complete)
        return 1;
    if (override_complete) {
        log_printf(1, "Using product code and HW revision override.");
        free(ident.product);
        free(ident.hw_build);
        ident.product = override_product;
        ident.hw_build = override_hw_build;
    }

    if (container_path && image_open(set, container_path) < 0)
        return 1;
    if (kernel_path && velkan_add_subimage(set, "kernel", kernel_path, nullptr) < 0)
        return 1;
    if (initfs_path && velkan_add_subimage(set, "initfs", initfs_path, nullptr) < 0)
        return 1;

    log_printf(1, "Calling sync()");
    sync();

    if (component_mask & component_kernel) {
        log_printf(0, "Reading and flashing kernel image");
        if (flash_kernel(set, &ident) < 0)
            return 1;
    }
    if (component_mask & component_initfs) {
        log_printf(0, "Reading and flashing initfs image");
        if (kill_request) {
            log_printf(1, "Killing initfs processes");
            kill_initfs_processes();
        }
        if (flash_initfs(set, &ident) < 0)
            return 1;
    }

    log_printf(0, "Image(s) successfully flashed%s", simulate ? " (not!)" : "");
    log_printf(1, "Calling sync() again");
    sync();

    if (restart) {
        log_printf(0, "Rebooting...");
        if (!simulate) {
            // Flush what the log holds: a successful restart does not return.
            fflush(stdout);
            return reboot(RB_AUTOBOOT);
        }
    }
    return 0;
}
