// SPDX-License-Identifier: MIT
#pragma once

// What the user answered at the prompt.
enum confirm_result {
    confirm_yes = 0,
    confirm_no = 1,         // n or N
    confirm_unanswered = 2, // standard input ended, or could not be read, before y or n
};

// Asks on standard error whether the data on the device may be destroyed and
// reads one key (y or n, no Enter) from standard input; on a terminal, keys
// typed before the question are discarded. Returns a confirm_result.
int ask_confirmation();
