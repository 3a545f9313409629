// SPDX-License-Identifier: MIT
#pragma once

// The confirmation prompt, written to standard error: two lines, ending at the colon.
inline constexpr char prompt_text[] =
    "WARNING: All data on the target disk will be destroyed!\nContinue? (y/n):";
static_assert(sizeof prompt_text - 1 == 72, "the prompt is 72 bytes");
