// SPDX-License-Identifier: MIT
#pragma once

// Ends the process with status 1 at once, from any thread: other workers may
// be in the middle of a block, so nothing is torn down.
[[noreturn]] void end_process_failed();
