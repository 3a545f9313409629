// SPDX-License-Identifier: MIT
#pragma once

#include "cli/run_settings.h"

// The exit statuses of a run that reached its end.
enum run_status {
    exit_all_matched = 0,   // every pass done, every block matched
    exit_mismatch = 1,      // a block did not match or came back short
    exit_interrupted = 130, // stopped by SIGINT; every block so far matched
};

// Runs every pass over the device and returns a run_status. Ends the process
// with status 1 on its failure paths.
int run_passes(const run_settings& settings);
