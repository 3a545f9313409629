// SPDX-License-Identifier: MIT
#include "cli/startup.h"

#include "cli/messages.h"
#include "cli/options.h"
#include "cli/run_settings.h"
#include "cli/usage.h"
#include "console/confirm.h"
#include "device/probes.h"
#include "run/run_passes.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

[[noreturn]] void usage_and_exit() {
    print_usage();
    exit(0);
}

void apply_options(int argc, char** argv, run_settings* settings) {
    switch (static_cast<option_outcome>(read_options(argc, argv, settings))) {
    case options_ok:
        return;
    case options_usage:
        usage_and_exit();
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

// Checks the device, read-only, in the order that gives the user the most
// telling message first; nothing here writes to it.
void check_device(run_settings* settings) {
    const char* path = settings->device_path;
    switch (check_block_device(path)) {
    case probe_cannot_access:
        fail_on_device(fmt_cannot_access, path);
    case probe_not_block_device:
        fprintf(stderr, fmt_not_a_disk, path);
        exit(1);
    }
    switch (query_sector_size(path, &settings->sector_size)) {
    case probe_cannot_open:
        fail_on_device(fmt_cannot_open, path);
    case probe_no_sector_size:
        fail_on_device(fmt_no_sector_size, path);
    }
    if (settings->block_size < settings->sector_size) {
        fprintf(stderr, fmt_block_below_sector, settings->sector_size);
        exit(1);
    }
    switch (query_disk_size(path, &settings->disk_size)) {
    case probe_cannot_open:
        fail_on_device(fmt_cannot_open, path);
    case probe_no_disk_size:
        fail_on_device(fmt_no_disk_size, path);
    }
    switch (claim_device(path)) {
    case probe_in_use:
        fprintf(stderr, fmt_in_use, path);
        exit(1);
    case probe_cannot_open:
        fail_on_device(fmt_cannot_open, path);
    }
}

} // namespace

int platterfell_main(int argc, char** argv) {
    run_settings settings;
    apply_options(argc, argv, &settings);
    if (optind >= argc)
        usage_and_exit();
    settings.device_path = argv[optind];
    check_device(&settings);
    if (!settings.skip_confirmation && ask_confirmation() != 0)
        return 0;
    return run_passes(settings);
}
