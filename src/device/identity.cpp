// SPDX-License-Identifier: MIT
#include "device/identity.h"

#include <sys/stat.h>

device_identity identity_of(const struct stat& info) {
    return device_identity{static_cast<uint32_t>(info.st_mode & S_IFMT),
                           static_cast<uint64_t>(info.st_rdev)};
}

bool is_device(int fd, const device_identity& identity) {
    struct stat info;
    if (fstat(fd, &info) == -1)
        return false;
    const device_identity found = identity_of(info);
    return found.type == identity.type && found.number == identity.number;
}
