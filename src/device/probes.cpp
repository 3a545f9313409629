// SPDX-License-Identifier: MIT
#include "device/probes.h"

#include "device/sector_size.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Closes fd without disturbing the errno of the call that failed before.
void close_keeping_errno(int fd) {
    int saved = errno;
    close(fd);
    errno = saved;
}

} // namespace

int check_block_device(const char* device_path) {
    struct stat info;
    if (stat(device_path, &info) == -1)
        return probe_cannot_access;
    return S_ISBLK(info.st_mode) ? probe_ok : probe_not_block_device;
}

int query_sector_size(const char* device_path, uint32_t* sector_size) {
    int fd = open(device_path, O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        return probe_cannot_open;
    int result = request_sector_size(fd, sector_size);
    close_keeping_errno(fd);
    return result == -1 ? probe_no_sector_size : probe_ok;
}

int query_disk_size(const char* device_path, int64_t* disk_size) {
    int fd = open(device_path, O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        return probe_cannot_open;
    // The last byte, not the end: a device of 0 bytes has no last byte, and
    // the seek before its start fails.
    off_t last = lseek(fd, -1, SEEK_END);
    if (last == -1) {
        *disk_size = -1;
        close_keeping_errno(fd);
        return probe_no_disk_size;
    }
    *disk_size = static_cast<int64_t>(last) + 1;
    close_keeping_errno(fd);
    return probe_ok;
}
