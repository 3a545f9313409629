// SPDX-License-Identifier: MIT
#pragma once

#include "cli/run_settings.h"

// Runs every pass over the device and returns the exit status: 0 when every
// block matched (also after an interrupt), 1 when a block did not match or
// came back short. Ends the process with status 1 on its failure paths.
int run_passes(const run_settings& settings);
