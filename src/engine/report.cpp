// SPDX-License-Identifier: MIT
#include "engine/report.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>

void report(const char* format, ...) {
    static const bool on_terminal = isatty(STDERR_FILENO) == 1;
    va_list arguments;
    va_start(arguments, format);
    // One lock over both writes, so that no other thread's message comes between.
    flockfile(stderr);
    if (on_terminal)
        fputs("\033[2K", stderr);
    vfprintf(stderr, format, arguments);
    funlockfile(stderr);
    va_end(arguments);
}
