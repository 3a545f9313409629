// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>

// The line that names the device once every start-up check has passed:
// "PATH: SIZE bytes (X.Y GB)", then ", " and IDENTITY unless that is empty,
// and a line feed. GB are decimal (10^9 bytes). A control character, which
// the path, a file name or the device itself may hold, is shown as '?' so
// that the line stays one line and cannot move the cursor.
std::string format_device_line(const char* path, int64_t disk_size, const std::string& identity);
