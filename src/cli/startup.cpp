// SPDX-License-Identifier: MIT
#include "cli/startup.h"

#include "cli/device_line.h"
#include "cli/messages.h"
#include "cli/options.h"
#include "cli/run_settings.h"
#include "cli/usage.h"
#include "console/confirm.h"
#include "device/description.h"
#include "device/platform.h"
#include "device/probes.h"
#include "run/run_passes.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

[[noreturn]] void fail(const char* text) {
    fprintf(stderr, "%s\n", text);
    exit(1);
}

[[noreturn]] void fail_verbatim(const char* text) {
    fputs(text, stderr);
    exit(1);
}

// For the probes' failures: the path and the text of the errno they left.
[[noreturn]] void fail_on_device(const char* format, const char* path) {
    fprintf(stderr, format, path, strerror(errno));
    exit(1);
}

// For the messages that name the path alone.
[[noreturn]] void fail_naming(const char* format, const char* path) {
    fprintf(stderr, format, path);
    exit(1);
}

[[noreturn]] void usage_and_exit(int status) {
    print_usage();
    exit(status);
}

// A descriptor 0, 1 or 2 that the caller left closed would be the next one
// open() hands out: the device's, so that the prompt would read the disk's
// own bytes as the answer, or messages would be written to it. /dev/null
// takes each such place first.
void fill_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened != fd)
            exit(1); // nothing safe to write to, and no device opened yet
    }
}

void apply_options(int argc, char** argv, run_settings* settings) {
    switch (static_cast<option_outcome>(read_options(argc, argv, settings))) {
    case options_ok:
        return;
    case options_help:
        usage_and_exit(0);
    case options_usage:
        usage_and_exit(1);
    case options_unknown_suffix:
        fail(msg_unknown_suffix);
    case options_bad_block_size:
        fail(msg_bad_block_size);
    case options_block_not_multiple_of_512:
        fail_verbatim(msg_block_not_multiple);
    case options_bad_workers:
        fail(msg_bad_workers);
    case options_bad_passes:
        fail(msg_bad_passes);
    }
}

// Ends the start-up for a probe's failure with its message.
void fail_on_probe(int result, const char* path) {
    switch (static_cast<probe_result>(result)) {
    case probe_ok:
        return;
    case probe_cannot_access:
        fail_on_device(fmt_cannot_access, path);
    case probe_cannot_open:
        fail_on_device(fmt_cannot_open, path);
    case probe_no_sector_size:
        fail_on_device(fmt_no_sector_size, path);
    case probe_no_disk_size:
        fail_on_device(fmt_no_disk_size, path);
    case probe_not_block_device:
        fail_naming(fmt_not_a_disk, path);
    case probe_in_use:
        fail_naming(fmt_in_use, path);
    case probe_other_device:
        fail_naming(fmt_other_device, path);
    case probe_read_only:
        fail_naming(fmt_read_only, path);
    }
}

// Checks the device, in the order that gives the user the most telling
// message first; nothing here writes to it. Every probe that opens the path
// must reach the device that the first one found.
void check_device(run_settings* settings) {
    const char* path = settings->device_path;
    fail_on_probe(check_block_device(path, &settings->device), path);
    fail_on_probe(query_sector_size(path, settings->device, &settings->sector_size), path);
    if (settings->block_size < settings->sector_size) {
        fprintf(stderr, fmt_block_below_sector, settings->sector_size);
        exit(1);
    }
    // Direct transfers move whole sectors only: another size would fail at
    // the first write, where it would read like a fault of the disk.
    if (settings->block_size % settings->sector_size != 0) {
        fprintf(stderr, fmt_block_not_sector_multiple, settings->sector_size);
        exit(1);
    }
    fail_on_probe(query_disk_size(path, settings->device, &settings->disk_size), path);
    fail_on_probe(claim_device(path, settings->device, &settings->kept_fd), path);
    fail_on_probe(check_not_in_use(path, settings->device, settings->kept_fd), path);
}

// Names the device that passed every check, so that the user can tell it is
// the disk meant before anything is written.
void show_device(const run_settings& settings) {
    const std::string line = format_device_line(settings.device_path, settings.disk_size,
                                                describe_device(settings.device, settings.kept_fd));
    fputs(line.c_str(), stderr);
}

// Asks unless -y was given; returns only when the run may go on.
void confirm_or_exit(const run_settings& settings) {
    if (settings.skip_confirmation)
        return;
    switch (static_cast<confirm_result>(ask_confirmation())) {
    case confirm_yes:
        return;
    case confirm_no:
        exit(0);
    case confirm_unanswered:
        exit(1); // nothing was confirmed and nothing tested
    }
}

} // namespace

int platterfell_main(int argc, char** argv) {
    fill_standard_descriptors();
    // A reader that goes away (a pipe into head) must not end the test half
    // way: a failed write to standard error or output is only a lost message.
    signal(SIGPIPE, SIG_IGN);
    run_settings settings;
    apply_options(argc, argv, &settings);
    if (optind >= argc)
        usage_and_exit(1);
    settings.device_path = argv[optind];
    if (optind + 1 < argc)
        fail_naming(fmt_unexpected_argument, argv[optind + 1]);
    check_device(&settings);
    show_device(settings);
    confirm_or_exit(settings);
    return run_passes(settings);
}
