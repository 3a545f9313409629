// SPDX-License-Identifier: MIT
#include "run/run_passes.h"

#include "engine/pool.h"
#include "engine/report.h"
#include "progress/eta.h"
#include "run/interrupt.h"
#include "run/messages.h"
#include "run/progress_line.h"
#include "run/test_block.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

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

void draw_progress(uint32_t pass, const run_settings& settings, char* eta_text) {
    int64_t verified = pool_verified_bytes(); // one sample for the whole line
    format_eta(eta_text, verified, settings.disk_size);
    char line[progress_line_size];
    int length =
        format_progress_line(line, pass, settings.passes, verified, settings.disk_size, eta_text);
    fwrite(line, 1, static_cast<size_t>(length), stderr);
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
                  settings.block_size, settings.sector_size, pattern))) {
    case pool_ok:
        break;
    case pool_no_memory:
        free(pattern);
        fail_no_memory();
    case pool_thread_error:
        free(pattern);
        fail_with_thread_error(fmt_init_failed);
    }

    char eta_text[eta_text_size];
    for (uint32_t pass = 1;; ++pass) {
        if (pool_start() != pool_ok)
            fail_with_thread_error(fmt_start_failed);
        while (pool_has_active()) {
            if (!abort_requested())
                draw_progress(pass, settings, eta_text);
            sleep(1);
        }
        if (pass >= settings.passes || abort_requested())
            break;
    }

    putc('\n', stdout);
    bool any_mismatch = pool_mismatched_blocks() > 0;
    pool_teardown();
    if (any_mismatch)
        return exit_mismatch;
    return abort_requested() ? exit_interrupted : exit_all_matched;
}
