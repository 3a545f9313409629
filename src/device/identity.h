// SPDX-License-Identifier: MIT
#pragma once

#include <sys/stat.h>

#include <cstdint>

// Which device a path or a descriptor leads to: the kind of special file and
// its device number. Two opens of one path reach the same device only when
// both agree; a re-pointed link or a replaced node changes one of them.
struct device_identity {
    uint32_t type = 0;   // the file type bits of st_mode (block or character special)
    uint64_t number = 0; // st_rdev
};

device_identity identity_of(const struct stat& info);

// True when fd is open on the device that identity names.
bool is_device(int fd, const device_identity& identity);
