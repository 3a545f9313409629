// SPDX-License-Identifier: MIT
#include "run/run_passes.h"

#include "device/platform.h"
#include "engine/pool.h"
#include "engine/report.h"
#include "progress/eta.h"
#include "run/interrupt.h"
#include "run/messages.h"
#include "run/progress_line.h"
#include "run/summary.h"
#include "run/test_block.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

[[noreturn]] void fail_no_memory() {
    fprintf(stderr, "%s\n", msg_run_no_memory);
    exit(1);
}

// Workers of this pass may already run: the process ends as a worker's
// failure ends it, without tearing anything down.
[[noreturn]] void fail_with_thread_error(const char* format) {
    fail_process(format, strerror(pool_last_error()));
}

int64_t seconds_now() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec);
}

// Draws the line of the pass (0: the read-back). A standard error that a
// write has failed on (a closed pipe, a full disk) is not drawn on again.
void draw_progress(uint32_t pass, const run_settings& settings, char* eta_text) {
    if (ferror(stderr))
        return;
    int64_t verified = pool_verified_bytes(); // one sample for the whole line
    format_eta(eta_text, verified, settings.disk_size);
    char line[progress_line_size];
    int length = pass == 0 ? format_read_back_line(line, verified, settings.disk_size, eta_text)
                           : format_progress_line(line, pass, settings.passes, verified,
                                                  settings.disk_size, eta_text);
    fwrite(line, 1, static_cast<size_t>(length), stderr);
}

// Redraws the line once a second until every worker has counted out; gives
// the bytes verified.
int64_t wait_for_workers(uint32_t pass, const run_settings& settings) {
    char eta_text[eta_text_size];
    while (pool_has_active()) {
        if (!abort_requested())
            draw_progress(pass, settings, eta_text);
        sleep(1);
    }
    return pool_verified_bytes();
}

// What was written must be on the medium, not in the drive's cache, before
// the read-back asks for it and before the run says it is done.
void flush_or_die(const run_settings& settings) {
    if (flush_device_cache(settings.kept_fd) == 0)
        return;
    fail_process(fmt_flush_failed, settings.device_path, strerror(errno));
}

// On a terminal the summary takes the progress line's place, as a report does.
void write_summary(const run_summary& summary) {
    char line[summary_size];
    format_summary(line, summary);
    report("%s", line);
}

block_marks marks_of(const run_settings& settings) {
    block_marks marks{!settings.zero_fill, settings.read_back && !settings.zero_fill, 0};
    if (marks.stamped)
        marks.run_tag = draw_run_tag();
    return marks;
}

} // namespace

int run_passes(const run_settings& settings) {
    unsigned char* pattern =
        make_test_block(settings.block_size, settings.sector_size, settings.zero_fill);
    if (pattern == nullptr)
        fail_no_memory();

    install_interrupt_handler();

    switch (static_cast<pool_result>(
        pool_init(settings.workers, settings.device_path, settings.device, settings.disk_size,
                  settings.block_size, settings.sector_size, pattern, marks_of(settings)))) {
    case pool_ok:
        break;
    case pool_no_memory:
        free(pattern);
        fail_no_memory();
    case pool_thread_error:
        free(pattern);
        fail_with_thread_error(fmt_init_failed);
    }

    const int64_t started = seconds_now();
    run_summary summary{0, settings.passes, read_back_none, 0, 0, 0};
    for (uint32_t pass = 1;; ++pass) {
        if (pool_start(pass) != pool_ok)
            fail_with_thread_error(fmt_start_failed);
        summary.verified_bytes += wait_for_workers(pass, settings);
        if (abort_requested())
            break;
        summary.passes_done = pass;
        if (pass >= settings.passes)
            break;
    }

    flush_or_die(settings);
    if (settings.read_back) {
        summary.read_back = read_back_interrupted;
        if (!abort_requested()) {
            eta_reset(); // the read-back's estimate follows its own speed
            if (pool_start_read_back(settings.passes) != pool_ok)
                fail_with_thread_error(fmt_start_failed);
            summary.verified_bytes += wait_for_workers(0, settings);
            if (!abort_requested())
                summary.read_back = read_back_done;
        }
    }

    summary.seconds = seconds_now() - started;
    summary.mismatched = pool_mismatched_blocks();
    write_summary(summary);
    putc('\n', stdout);
    pool_teardown();
    if (summary.mismatched > 0)
        return exit_mismatch;
    return abort_requested() ? exit_interrupted : exit_all_matched;
}
