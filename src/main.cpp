#include "main.h"

#include "build_info.h"
#include "check.h"
#include "flash.h"
#include "ident.h"
#include "kill.h"
#include "log.h"
#include "progress.h"
#include "report.h"
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
constexpr int opt_check = 257;
constexpr int opt_progress = 258;
constexpr int opt_report = 259;
constexpr int opt_help = 260;
constexpr int opt_version = 261;

// The options of the usage text come first; the ones behind them are listed
// by --help only, so that the usage text stays as it was before them.
constexpr int usage_options = 10;

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
    {"check", no_argument, nullptr, opt_check},
    {"progress", no_argument, nullptr, opt_progress},
    {"report", required_argument, nullptr, opt_report},
    {"help", no_argument, nullptr, opt_help},
    {"version", no_argument, nullptr, opt_version},
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
    "Check everything on the device, write nothing",
    "Show each phase's percentage on stderr",
    "Write the run's record (JSON lines) to this file",
    "Show this help",
    "Show the version and the build's commit",
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

namespace {

// The usage text with the first count options of the table.
void print_options(int count) {
    printf("Usage: %s [OPTIONS]\nOptions:\n", "velkan-flasher");
    for (int i = 0; i < count; i++) {
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
}

} // namespace

void print_usage() {
    print_options(usage_options);
    exit(2);
}

void print_help() {
    print_options(sizeof long_options / sizeof long_options[0] - 1);
}

namespace {

// The keywords of --flash-only into the mask; cli_run, or the status 2 after
// the complaint when the mask stays empty.
int apply_flash_only(const char *list, run_settings *settings) {
    if (strstr(list, "pirl"))
        settings->component_mask |= component_pirl;
    if (strstr(list, "kernel"))
        settings->component_mask |= component_kernel;
    if (strstr(list, "initfs"))
        settings->component_mask |= component_initfs;
    if (settings->component_mask == 0) {
        fputs("Valid --flash-only options:\npirl, kernel, initfs, rootfs\n", stderr);
        return 2;
    }
    return cli_run;
}

// The options that came after the usage text's. cli_run, or the status to end with.
int apply_later_option(int c, run_settings *settings) {
    switch (c) {
    case opt_check:
        settings->check = true;
        break;
    case opt_progress:
        progress_enable();
        break;
    case opt_report:
        if (strcmp(optarg, "-") == 0) {
            fputs("--report: '-' is not allowed; give a path or /dev/fd/N\n", stderr);
            return 2;
        }
        settings->report_path = optarg;
        break;
    case opt_help:
        print_help();
        return 0;
    case opt_version:
        printf("velkan-flasher %s (commit %s)\n", VF_BUILD_VERSION, VF_BUILD_COMMIT);
        return 0;
    default:
        break;
    }
    return cli_run;
}

// One option into the settings. cli_run, cli_usage or the status to end with.
int apply_option(int c, run_settings *settings) {
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
        return parse_hw_override(optarg, &settings->override_product,
                                 &settings->override_hw_build) < 0
                   ? 2
                   : cli_run;
    case opt_flash_only:
        return apply_flash_only(optarg, settings);
    default:
        return apply_later_option(c, settings);
    }
    return cli_run;
}

} // namespace

int parse_command_line(int argc, char **argv, run_settings *settings) {
    for (;;) {
        int c = getopt_long(argc, argv, short_options, long_options, nullptr);
        if (c == -1)
            break;
        int applied = apply_option(c, settings);
        if (applied != cli_run)
            return applied;
    }
    if (settings->check) {
        // --check reads the real partitions, whatever -N says, and needs no -f.
        simulate = 0;
        check_only = 1;
    } else if (settings->flash_requests == 0) {
        fputs("Nothing to do!\n", stderr);
        return cli_usage;
    }
    if (settings->component_mask == 0)
        settings->component_mask = component_all;
    return cli_run;
}

namespace {

// The identity and the images: the identity from the device or the override,
// the container, then the loose files. 0, or -1 (reported).
int load_inputs(run_settings *settings, hw_ident *ident, image_set *set) {
    bool override_complete = settings->override_product && settings->override_hw_build;
    if (read_hw_ident(ident) < 0 && !override_complete)
        return -1;
    if (override_complete) {
        log_printf(1, "Using product code and HW revision override.");
        free(ident->product);
        free(ident->hw_build);
        ident->product = settings->override_product;
        ident->hw_build = settings->override_hw_build;
    }
    check_identity(ident, override_complete);
    if (settings->container_path) {
        if (image_open(set, settings->container_path) < 0)
            return -1;
        check_container(set, settings->container_path);
    }
    if (settings->kernel_path &&
        velkan_add_subimage(set, "kernel", settings->kernel_path, nullptr) < 0)
        return -1;
    if (settings->initfs_path &&
        velkan_add_subimage(set, "initfs", settings->initfs_path, nullptr) < 0)
        return -1;
    return 0;
}

// Flashes the components chosen, after the checks. The exit status.
int flash_components(run_settings *settings, hw_ident *ident, image_set *set) {
    log_printf(1, "Calling sync()");
    sync();
    if (settings->component_mask & component_kernel) {
        log_printf(0, "Reading and flashing kernel image");
        if (flash_kernel(set, ident) < 0)
            return 1;
    }
    if (settings->component_mask & component_initfs) {
        log_printf(0, "Reading and flashing initfs image");
        if (settings->kill_request) {
            log_printf(1, "Killing initfs processes");
            kill_initfs_processes();
        }
        if (flash_initfs(set, ident) < 0)
            return 1;
    }
    log_printf(0, "Image(s) successfully flashed%s", simulate ? " (not!)" : "");
    log_printf(1, "Calling sync() again");
    sync();
    if (settings->restart) {
        log_printf(0, "Rebooting...");
        if (!simulate) {
            // The record ends here and what the log holds is flushed: a
            // successful restart does not return.
            report_end(0);
            fflush(stdout);
            return reboot(RB_AUTOBOOT);
        }
    }
    return 0;
}

// The run after the options: the inputs, the checks before anything is
// touched, then (unless --check) the flash. The exit status.
int run(run_settings *settings) {
    // The identity and the images live until the process ends.
    static hw_ident ident;
    static image_set *set;
    set = static_cast<image_set *>(calloc(1, sizeof(image_set)));
    if (!set) {
        perror("malloc");
        return 1;
    }
    if (load_inputs(settings, &ident, set) < 0)
        return 1;
    // Everything that can be checked is, before the first block is erased.
    bool kernel = settings->component_mask & component_kernel;
    bool initfs = settings->component_mask & component_initfs;
    if (flash_check(set, &ident, kernel, initfs) < 0)
        return 1;
    check_finished();
    if (check_only)
        return 0;
    return flash_components(settings, &ident, set);
}

} // namespace

int main(int argc, char **argv) {
    if (!hold_standard_streams())
        return 1;
    // A progress line that cannot be written is lost, nothing more: a reader
    // of the output that has gone must not end the run halfway through a flash.
    signal(SIGPIPE, SIG_IGN);
    // A session that hangs up must not end the run halfway through a flash.
    signal(SIGHUP, SIG_IGN);
    // Lives until the process ends, with the -h strings it holds.
    static run_settings settings;
    int parsed = parse_command_line(argc, argv, &settings);
    if (parsed == cli_usage)
        print_usage();
    if (parsed != cli_run)
        return parsed;
    if (settings.report_path && report_open(settings.report_path) < 0)
        return 1;
    report_start(VF_BUILD_VERSION, VF_BUILD_COMMIT,
                 check_only ? "check"
                 : simulate ? "simulate"
                            : "flash");
    return report_end(run(&settings));
}
