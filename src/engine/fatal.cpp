// SPDX-License-Identifier: MIT
#include "engine/fatal.h"

#include <unistd.h>

void end_process_failed() {
    // _exit, not exit: other threads still run and use the standard streams,
    // and nothing buffered waits on standard output on these paths.
    _exit(1);
}
