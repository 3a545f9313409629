// SPDX-License-Identifier: MIT
#include "device/probes.h"

#include "device/platform.h"

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

// Opens the path read-only into *fd, making sure it still leads to IDENTITY.
int open_checked(const char* device_path, const device_identity& identity, int* fd) {
    *fd = open(device_path, O_RDONLY | O_CLOEXEC);
    if (*fd == -1)
        return probe_cannot_open;
    if (!is_device(*fd, identity)) {
        close(*fd);
        return probe_other_device;
    }
    return probe_ok;
}

// Whether the character device answers the sector-size request. One that
// cannot be opened counts as answering: the sector-size probe then reports why.
bool answers_sector_size(const char* device_path, const device_identity& identity) {
    int fd = -1;
    if (open_checked(device_path, identity, &fd) != probe_ok)
        return true;
    uint32_t size = 0;
    bool answered = request_sector_size(fd, &size) != -1;
    close(fd);
    return answered;
}

} // namespace

bool is_disk_node(uint32_t file_type, bool answers_sector_size, bool character_disks) {
    if (file_type == S_IFBLK)
        return true;
    return file_type == S_IFCHR && character_disks && answers_sector_size;
}

int check_block_device(const char* device_path, device_identity* identity) {
    struct stat info;
    if (stat(device_path, &info) == -1)
        return probe_cannot_access;
    *identity = identity_of(info);
    bool character_disks = character_devices_can_be_disks();
    bool answers =
        character_disks && S_ISCHR(info.st_mode) && answers_sector_size(device_path, *identity);
    return is_disk_node(identity->type, answers, character_disks) ? probe_ok
                                                                  : probe_not_block_device;
}

int query_sector_size(const char* device_path, const device_identity& identity,
                      uint32_t* sector_size) {
    int fd = -1;
    int opened = open_checked(device_path, identity, &fd);
    if (opened != probe_ok)
        return opened;
    int result = request_sector_size(fd, sector_size);
    close_keeping_errno(fd);
    return result == -1 ? probe_no_sector_size : probe_ok;
}

int query_disk_size(const char* device_path, const device_identity& identity, int64_t* disk_size) {
    int fd = -1;
    int opened = open_checked(device_path, identity, &fd);
    if (opened != probe_ok)
        return opened;
    // The last byte, not the end: a device of 0 bytes has no last byte, and
    // the seek before its start fails. On the BSDs that seek fails without
    // setting errno: it is cleared first, and an untold error is EINVAL.
    errno = 0;
    off_t last = lseek(fd, -1, SEEK_END);
    if (last == -1) {
        if (errno == 0)
            errno = EINVAL;
        *disk_size = -1;
        close_keeping_errno(fd);
        return probe_no_disk_size;
    }
    *disk_size = static_cast<int64_t>(last) + 1;
    close_keeping_errno(fd);
    return probe_ok;
}
