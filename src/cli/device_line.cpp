// SPDX-License-Identifier: MIT
#include "cli/device_line.h"

#include "cli/messages.h"

#include <cstdio>
#include <string>

std::string format_device_line(const char* path, int64_t disk_size, const std::string& identity) {
    const double gigabytes = static_cast<double>(disk_size) / 1e9;
    const int length =
        snprintf(nullptr, 0, fmt_device_size, path, static_cast<long long>(disk_size), gigabytes);
    std::string line(static_cast<std::size_t>(length) + 1, '\0');
    snprintf(&line[0], line.size(), fmt_device_size, path, static_cast<long long>(disk_size),
             gigabytes);
    line.pop_back(); // the NUL that snprintf wrote
    if (!identity.empty())
        line += ", " + identity;
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return line + "\n";
}
