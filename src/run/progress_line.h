// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>

// Room for the longest progress line and the terminating NUL.
inline constexpr size_t progress_line_size = 160;

// Writes the progress line for one sample of the verified count into line:
// it erases the terminal line, draws the pass, the megabytes, the percentage
// and the estimate, and leaves the cursor at the start of the line.
int format_progress_line(char* line, uint32_t pass, uint32_t passes, int64_t verified,
                         int64_t disk_size, const char* eta_text);

// The same for the read-back after the last pass, which has no pass number.
int format_read_back_line(char* line, int64_t verified, int64_t disk_size, const char* eta_text);
