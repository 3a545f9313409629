// SPDX-License-Identifier: MIT
#pragma once

// The whole program: reads the options, checks and names the device, asks for
// confirmation and runs the passes. Returns the exit status; failures of the
// start-up end the process with status 1 at once.
int platterfell_main(int argc, char** argv);
