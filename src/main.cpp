#include "main.h"

#include "build_info.h"
#include "check.h"
#include "events.h"
#include "flash.h"
#include "ident.h"
#include "kill.h"
#include "log.h"
#include "nand.h"
#include "progress.h"
#include "report.h"
#include "stop_signals.h"
#include "velkan.h"
#include "velkan_sign.h"

#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int opt_flash_only = 256;
constexpr int opt_mark_bad = 257;
constexpr int opt_check = 258;
constexpr int opt_progress = 259;
constexpr int opt_report = 260;
constexpr int opt_help = 261;
constexpr int opt_version = 262;
constexpr int opt_keys = 263;

// Where the device keeps the public keys that a container must be signed
// with. The tests' builds name none, so that no test reads the machine's own.
#ifndef VF_KEY_DIR
#define VF_KEY_DIR "/etc/velkan/keys"
#endif

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
    {"mark-bad", no_argument, nullptr, opt_mark_bad},
    {"check", no_argument, nullptr, opt_check},
    {"progress", no_argument, nullptr, opt_progress},
    {"report", required_argument, nullptr, opt_report},
    {"help", no_argument, nullptr, opt_help},
    {"version", no_argument, nullptr, opt_version},
    {"keys", required_argument, nullptr, opt_keys},
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
    "Check everything on the device, write nothing",
    "Show each phase's percentage on stderr",
    "Write the run's record (JSON lines) to this file",
    "Show this help",
    "Show the version and the build's commit",
    "Directory of the public keys a container must be signed with",
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
    case opt_mark_bad:
        settings->options.mark_bad = true;
        break;
    case opt_check:
        settings->options.check = true;
        break;
    case opt_progress:
        settings->progress = true;
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
    case opt_keys:
        settings->options.key_dir = optarg;
        break;
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
        settings->options.simulate = true;
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
    if (settings->options.check) {
        // --check reads the real partitions, whatever -N says, and needs no -f.
        settings->options.simulate = false;
    } else if (settings->flash_requests == 0) {
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
bool establish_identity(hw_ident *ident, run_settings *settings, const run_events *events) {
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
    event e = event_of(event_kind::identity);
    e.ident = ident;
    e.override_identity = override_complete;
    events_emit(events, e);
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
        event e = event_of(event_kind::container);
        e.set = set;
        e.path = settings.container_path;
        events_emit(req->checks.events, e);
    }
    if (settings.kernel_path &&
        velkan_add_subimage(set, "kernel", settings.kernel_path, nullptr) < 0)
        return false;
    return !settings.initfs_path ||
           velkan_add_subimage(set, "initfs", settings.initfs_path, nullptr) >= 0;
}

// The run's end as an event: its status and the partitions completed.
void emit_end(const run_events *events, int status, const flash_progress &done) {
    event e = event_of(event_kind::end);
    e.status = status;
    e.completed_list = done.completed;
    e.completed_count = done.count;
    events_emit(events, e);
}

// The end of a successful run: the restart that -R asks for, unless
// simulated. The record ends before the restart, since a successful one does
// not return, and again when it fails. The exit status.
int finish(const run_settings &settings, const run_events *events, const flash_progress &done) {
    if (!settings.restart)
        return 0;
    log_printf(0, "Rebooting...");
    if (settings.options.simulate)
        return 0;
    emit_end(events, 0, done);
    fflush(stdout);
    if (reboot(RB_AUTOBOOT) == 0)
        return 0;
    error("reboot: %s", strerror(errno));
    return 1;
}

// True when path names one of the run's input files: a record written there
// would destroy it before it is read.
bool is_an_input(const char *path, const run_settings &settings) {
    struct stat record;
    if (stat(path, &record) < 0)
        return false;
    const char *inputs[] = {settings.container_path, settings.kernel_path, settings.initfs_path};
    for (const char *input : inputs) {
        struct stat st;
        if (input && stat(input, &st) == 0 && st.st_dev == record.st_dev &&
            st.st_ino == record.st_ino)
            return true;
    }
    return false;
}

// The run after the options: the identity, the images, the checks and (but
// for --check) the flash and the restart. The exit status.
int run(run_settings *settings, stop_signals *signals, const run_events *events,
        flash_progress *done) {
    // The identity and the images live until the process ends.
    static hw_ident ident;
    static image_set *set;
    set = static_cast<image_set *>(calloc(1, sizeof(image_set)));
    if (!set) {
        error("malloc: %s", strerror(errno));
        return 1;
    }
    // With keys, only containers signed with one of them are flashed.
    static sign_keys keys;
    const char *key_dir = settings->options.key_dir ? settings->options.key_dir : VF_KEY_DIR;
    if (*key_dir && sign_load_keys(key_dir, &keys) < 0)
        return 1;
    flash_request req = {};
    req.checks.keys = &keys;
    req.checks.key_dir = key_dir;
    req.checks.kernel = settings->component_mask & component_kernel;
    req.checks.initfs = settings->component_mask & component_initfs;
    req.checks.options = settings->options;
    req.checks.events = events;
    req.kill = settings->kill_request ? kill_initfs_processes : nullptr;
    if (!establish_identity(&ident, settings, events) || !load_images(set, *settings, &req) ||
        flash_run(set, &ident, &req, signals, done) < 0)
        return 1;
    return settings->options.check ? 0 : finish(*settings, events, *done);
}

// The file systems that the record may not lie on: those on the partitions
// that a flash of the components asked for rewrites.
record_target_rules record_rules(const run_settings &settings) {
    record_target_rules rules = {};
    if (settings.options.simulate || settings.options.check)
        return rules;
    const component *components[] = {&kernel_component, &initfs_component};
    const int bits[] = {component_kernel, component_initfs};
    for (int i = 0; i < 2; i++) {
        const char *name = components[i]->name;
        int number = settings.component_mask & bits[i] ? mtd_partition_number(name) : -1;
        if (number < 0)
            continue;
        rules.devices[rules.count] = mtd_filesystem_device(number);
        rules.names[rules.count++] = name;
    }
    return rules;
}

// Every error line of the run is an event too.
void error_event(void *state, const char *line) {
    event e = event_of(event_kind::error);
    e.text = line;
    events_emit(static_cast<const run_events *>(state), e);
}

// The outputs the options ask for, as observers of the run's events. A
// record that is refused or cannot be opened ends the run with its status.
int wire_outputs(const run_settings &settings, run_events *events) {
    static progress_state progress;
    static record_state record;
    if (settings.options.check)
        events_observe(events, {check_lines_notify, nullptr});
    if (settings.progress) {
        progress = progress_start();
        events_observe(events, {progress_notify, &progress});
    }
    if (settings.report_path) {
        if (is_an_input(settings.report_path, settings)) {
            error("--report: %s is an input of the run", settings.report_path);
            return 2;
        }
        int opened = record_open(&record, settings.report_path, record_rules(settings));
        if (opened != 0)
            return opened;
        events_observe(events, {record_notify, &record});
    }
    log_observe_errors(error_event, events);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    // Which stop signals the tool was started with blocked or ignored.
    stop_signals signals;
    stop_signals_start(&signals);
    if (!hold_standard_streams())
        return 1;
    // Each line of the log is written whole as it comes, so that it keeps its
    // place among the error and progress lines in a log that takes both streams.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // A progress line that cannot be written is lost, nothing more: a reader
    // of the output that has gone must not end the run halfway through a flash.
    signal(SIGPIPE, SIG_IGN);
    // A session that hangs up must not end the run halfway through a flash.
    signal(SIGHUP, SIG_IGN);
    // Nor may a limit on the size of the files it writes (the record's): it
    // is a write error of the record, which the flash survives.
    signal(SIGXFSZ, SIG_IGN);
    // Lives until the process ends, with the -h strings it holds.
    static run_settings settings;
    int parsed = parse_command_line(argc, argv, &settings);
    if (parsed == cli_usage)
        print_usage();
    if (parsed != cli_run)
        return parsed;
    settings.options.details = settings.options.check || settings.report_path;
    static run_events events;
    int wired = wire_outputs(settings, &events);
    if (wired != 0)
        return wired;
    event start = event_of(event_kind::start);
    start.version = VF_BUILD_VERSION;
    start.commit = VF_BUILD_COMMIT;
    start.mode = settings.options.check      ? "check"
                 : settings.options.simulate ? "simulate"
                                             : "flash";
    events_emit(&events, start);
    flash_progress done = {};
    int status = run(&settings, &signals, &events, &done);
    emit_end(&events, status, done);
    return status;
}
