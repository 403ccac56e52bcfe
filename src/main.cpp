#include "main.h"

#include "flash.h"
#include "ident.h"
#include "kill.h"
#include "log.h"
#include "stop_signals.h"
#include "velkan.h"

#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/reboot.h>
#include <unistd.h>

namespace {

constexpr int opt_flash_only = 256;
constexpr int opt_mark_bad = 257;

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
    {"mark-bad", no_argument, nullptr, opt_mark_bad},
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
    "Mark a failing block bad if it fails a test too",
    nullptr,
};

static_assert(sizeof long_options / sizeof long_options[0] ==
                  sizeof option_help / sizeof option_help[0],
              "every option has its help line");

const char short_options[] = "vfF:k:i:RKh:N?";

// Opens the null device on each of the descriptors 0 to 2 that is closed. A
// file opened while one of them is free would take its number and receive
// what is written to that stream, and the tool opens partitions for writing.
// False when the null device cannot be opened.
bool hold_standard_streams() {
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // The lower numbers are taken, so this one is the lowest free.
        int null = open("/dev/null", O_RDWR);
        if (null != fd) {
            perror("/dev/null");
            if (null >= 0)
                close(null);
            return false;
        }
    }
    return true;
}

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

int parse_command_line(int argc, char **argv, run_settings *settings) {
    for (;;) {
        int c = getopt_long(argc, argv, short_options, long_options, nullptr);
        if (c == -1)
            break;
        switch (c) {
        case '?':
            return cli_usage;
        case 'v':
            verbosity++;
            break;
        case 'f':
            settings->flash_requests++;
            break;
        case 'R':
            settings->restart = true;
            break;
        case 'K':
            settings->kill_request = true;
            break;
        case 'N':
            simulate++;
            break;
        case 'F':
            settings->container_path = optarg;
            break;
        case 'k':
            settings->kernel_path = optarg;
            settings->component_mask |= component_kernel;
            break;
        case 'i':
            settings->initfs_path = optarg;
            settings->component_mask |= component_initfs;
            break;
        case 'h':
            if (parse_hw_override(optarg, &settings->override_product,
                                  &settings->override_hw_build) < 0)
                return 2;
            break;
        case opt_flash_only:
            if (strstr(optarg, "pirl"))
                settings->component_mask |= component_pirl;
            if (strstr(optarg, "kernel"))
                settings->component_mask |= component_kernel;
            if (strstr(optarg, "initfs"))
                settings->component_mask |= component_initfs;
            if (settings->component_mask == 0) {
                fputs("Valid --flash-only options:\npirl, kernel, initfs, rootfs\n", stderr);
                return 2;
            }
            break;
        case opt_mark_bad:
            flash_mark_bad = true;
            break;
        default:
            break;
        }
    }

    if (settings->flash_requests == 0) {
        fputs("Nothing to do!\n", stderr);
        return cli_usage;
    }
    if (settings->component_mask == 0)
        settings->component_mask = component_all;
    return cli_run;
}

namespace {

// The device's identity: from "/proc/component_version", replaced by a
// complete -h override, which the identity takes over; half a one is dropped.
// False when neither gives one (reported).
bool establish_identity(hw_ident *ident, run_settings *settings) {
    bool override_complete = settings->override_product && settings->override_hw_build;
    if (!override_complete) {
        free(settings->override_product);
        free(settings->override_hw_build);
        settings->override_product = settings->override_hw_build = nullptr;
    }
    if (read_hw_ident(ident) < 0 && !override_complete)
        return false;
    if (override_complete) {
        log_printf(1, "Using product code and HW revision override.");
        free(ident->product);
        free(ident->hw_build);
        ident->product = settings->override_product;
        ident->hw_build = settings->override_hw_build;
    }
    return true;
}

// The container's images, then the loose ones in front of them. The request
// learns what the container holds. False on failure (reported).
bool load_images(image_set *set, const run_settings &settings, flash_request *req) {
    if (settings.container_path) {
        if (image_open(set, settings.container_path) < 0)
            return false;
        req->checks.container = settings.container_path;
        for (subimage *img = set->subimages; img; img = img->next)
            req->checks.container_images++;
    }
    if (settings.kernel_path &&
        velkan_add_subimage(set, "kernel", settings.kernel_path, nullptr) < 0)
        return false;
    return !settings.initfs_path ||
           velkan_add_subimage(set, "initfs", settings.initfs_path, nullptr) >= 0;
}

// The end of a successful run: the restart that -R asks for, unless simulated.
int finish(bool restart) {
    if (!restart)
        return 0;
    log_printf(0, "Rebooting...");
    if (simulate)
        return 0;
    // Flush what the log holds: a successful restart does not return.
    fflush(stdout);
    return reboot(RB_AUTOBOOT);
}

} // namespace

int main(int argc, char **argv) {
    // Which stop signals the tool was started with blocked or ignored.
    stop_signals signals;
    stop_signals_start(&signals);
    if (!hold_standard_streams())
        return 1;
    // A progress line that cannot be written is lost, nothing more: a reader
    // of the output that has gone must not end the run halfway through a flash.
    signal(SIGPIPE, SIG_IGN);
    // A session that hangs up must not end the run halfway through a flash.
    signal(SIGHUP, SIG_IGN);
    run_settings settings = {};
    int parsed = parse_command_line(argc, argv, &settings);
    if (parsed == cli_usage)
        print_usage();
    if (parsed != cli_run)
        return parsed;
    // The identity and the images live until the process ends.
    static hw_ident ident;
    static image_set *set;
    set = static_cast<image_set *>(calloc(1, sizeof(image_set)));
    if (!set) {
        perror("malloc");
        return 1;
    }
    flash_request req = {};
    req.checks.kernel = settings.component_mask & component_kernel;
    req.checks.initfs = settings.component_mask & component_initfs;
    req.kill = settings.kill_request ? kill_initfs_processes : nullptr;
    if (!establish_identity(&ident, &settings) || !load_images(set, settings, &req) ||
        flash_run(set, &ident, &req, &signals) < 0)
        return 1;
    return finish(settings.restart);
}
