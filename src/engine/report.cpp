// SPDX-License-Identifier: MIT
#include "engine/report.h"

#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {

void write_report(const char* format, va_list arguments) {
    static const bool on_terminal = isatty(STDERR_FILENO) == 1;
    // One lock over both writes, so that no other thread's message comes between.
    flockfile(stderr);
    if (on_terminal)
        fputs("\033[2K", stderr);
    vfprintf(stderr, format, arguments);
    funlockfile(stderr);
}

std::atomic<bool> failing{false};

} // namespace

void report(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    write_report(format, arguments);
    va_end(arguments);
}

void fail_process(const char* format, ...) {
    // A second failure, say every worker finding the same device gone, would
    // only repeat the first: its thread waits for the first one's exit.
    if (failing.exchange(true)) {
        for (;;)
            pause();
    }
    va_list arguments;
    va_start(arguments, format);
    write_report(format, arguments);
    va_end(arguments);
    // _exit, not exit: other threads still run and use the standard streams,
    // and nothing buffered waits on standard output on these paths.
    _exit(1);
}
