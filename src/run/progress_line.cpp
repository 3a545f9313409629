// SPDX-License-Identifier: MIT
#include "run/progress_line.h"

#include <cstdio>

static_assert(sizeof(long) == sizeof(int64_t), "counts are printed with %ld");

int format_progress_line(char* line, uint32_t pass, uint32_t passes, int64_t verified,
                         int64_t disk_size, const char* eta_text) {
    long megabytes = static_cast<long>(verified / 1048576);
    long percent = static_cast<long>(verified * 100 / disk_size);
    return snprintf(line, progress_line_size,
                    "\033[2K\rpass: %d/%d, verified: %ld MB, completed: %ld%%, ETA: %s\r",
                    static_cast<int>(pass), static_cast<int>(passes), megabytes, percent, eta_text);
}

int format_read_back_line(char* line, int64_t verified, int64_t disk_size, const char* eta_text) {
    long megabytes = static_cast<long>(verified / 1048576);
    long percent = static_cast<long>(verified * 100 / disk_size);
    return snprintf(line, progress_line_size,
                    "\033[2K\rread-back: verified: %ld MB, completed: %ld%%, ETA: %s\r", megabytes,
                    percent, eta_text);
}
