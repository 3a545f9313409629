// SPDX-License-Identifier: MIT
#include "device/probes.h"

#ifndef __linux__
#error "this file relies on the Linux meaning of O_EXCL on block devices"
#endif

#include <fcntl.h>

#include <cerrno>

int claim_device(const char* device_path) {
    // On Linux an exclusive open of a block device fails with EBUSY while a
    // file system, a partition of the disk, swap or a RAID member holds it.
    // The descriptor is kept open on purpose until the process ends.
    int fd = open(device_path, O_RDONLY | O_EXCL | O_CLOEXEC);
    if (fd == -1)
        return errno == EBUSY ? probe_in_use : probe_cannot_open;
    return probe_ok;
}
