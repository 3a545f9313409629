// SPDX-License-Identifier: MIT
#include "device/platform.h"

#ifndef __linux__
#error "this file asks a Linux kernel about its block devices"
#endif

#include "device/probes.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

int request_sector_size(int fd, uint32_t* sector_size) {
    int size = 0; // BLKSSZGET fills an int
    int result = ioctl(fd, BLKSSZGET, &size);
    if (result != -1 && size <= 0) {
        errno = EINVAL;
        return -1;
    }
    if (result != -1)
        *sector_size = static_cast<uint32_t>(size);
    return result;
}

bool character_devices_can_be_disks() {
    return false;
}

int claim_device(const char* device_path, const device_identity& identity, int* kept_fd) {
    // An exclusive open of a block device fails with EBUSY while a file
    // system, a partition of the disk, swap or a RAID member holds it.
    int fd = open(device_path, O_RDONLY | O_EXCL | O_CLOEXEC);
    if (fd == -1)
        return errno == EBUSY ? probe_in_use : probe_cannot_open;
    if (!is_device(fd, identity)) {
        close(fd);
        return probe_other_device;
    }
    // A read-only device opens for writing all the same; only its first
    // write would fail.
    int read_only = 0;
    if (ioctl(fd, BLKROGET, &read_only) == 0 && read_only != 0) {
        close(fd);
        return probe_read_only;
    }
    *kept_fd = fd; // open until the process ends
    return probe_ok;
}

int flush_device_cache(int kept_fd) {
    // On a block device fsync also sends the drive a cache flush.
    return fsync(kept_fd);
}

uint32_t draw_run_tag() {
    uint32_t tag = 0;
    // Four bytes never come short from getrandom once the pool is ready; a
    // tag that is not random only makes stamps of two runs alike.
    while (getrandom(&tag, sizeof tag, 0) == -1 && errno == EINTR) {
    }
    return tag;
}
