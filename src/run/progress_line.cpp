// SPDX-License-Identifier: MIT
#include "run/progress_line.h"

#include <cstdio>

static_assert(sizeof(long) == sizeof(int64_t), "counts are printed with %ld");

namespace {

// The line after its LABEL ("pass: 2/3, " or "read-back: ").
int format_line(char* line, const char* label, int64_t verified, int64_t disk_size,
                const char* eta_text) {
    long megabytes = static_cast<long>(verified / 1048576);
    long percent = static_cast<long>(verified * 100 / disk_size);
    return snprintf(line, progress_line_size,
                    "\033[2K\r%sverified: %ld MB, completed: %ld%%, ETA: %s\r", label, megabytes,
                    percent, eta_text);
}

} // namespace

int format_progress_line(char* line, uint32_t pass, uint32_t passes, int64_t verified,
                         int64_t disk_size, const char* eta_text) {
    char label[32];
    snprintf(label, sizeof label, "pass: %d/%d, ", static_cast<int>(pass),
             static_cast<int>(passes));
    return format_line(line, label, verified, disk_size, eta_text);
}

int format_read_back_line(char* line, int64_t verified, int64_t disk_size, const char* eta_text) {
    return format_line(line, "read-back: ", verified, disk_size, eta_text);
}
