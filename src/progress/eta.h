// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>

// Room for the longest estimate, 8 characters, and the terminating NUL.
inline constexpr size_t eta_text_size = 9;

// Folds the growth of the verified count since the previous call into a
// smoothed rate (bytes per call, the caller calls about once a second) and
// writes the remaining time into text ("%dh %dm" or "%dm %ds"). Returns the
// length of the text.
int format_eta(char* text, int64_t verified, int64_t total);

// Puts the estimator back to its state at program start: the read-back after
// the last pass runs at a speed of its own.
void eta_reset();
