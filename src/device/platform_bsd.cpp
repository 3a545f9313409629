// SPDX-License-Identifier: MIT
#include "device/platform.h"

#include "device/in_use_rules.h"
#include "device/probes.h"

#include <fcntl.h>
#include <sys/types.h>
#include <sys/ioctl.h>
#include <sys/sysctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#if defined(__FreeBSD__)
#include <sys/disk.h>

int request_sector_size(int fd, uint32_t* sector_size) {
    u_int size = 0;
    int result = ioctl(fd, DIOCGSECTORSIZE, &size);
    if (result != -1 && size == 0) {
        errno = EINVAL;
        return -1;
    }
    if (result != -1)
        *sector_size = size;
    return result;
}

#elif defined(__DragonFly__)
#include <sys/diskslice.h>

int request_sector_size(int fd, uint32_t* sector_size) {
    struct partinfo info = {};
    int result = ioctl(fd, DIOCGPART, &info);
    // media_blksize is a plain int, and 0 when the size is unknown.
    if (result != -1 && info.media_blksize <= 0) {
        errno = EINVAL;
        return -1;
    }
    if (result != -1)
        *sector_size = static_cast<uint32_t>(info.media_blksize);
    return result;
}

#else
#error "this file knows the disks of FreeBSD and DragonFly only"
#endif

// devfs makes every device node a character special file.
bool character_devices_can_be_disks() {
    return true;
}

namespace {

// Whether the failed write open (errno) was refused for a holder of the
// disk. From securelevel 2 on, EPERM refuses every disk; errno is kept.
bool refused_for_holder() {
    const int error = errno;
    int level = 0;
    size_t size = sizeof level;
    if (error == EPERM && sysctlbyname("kern.securelevel", &level, &size, nullptr, 0) == -1)
        level = 0; // unknown: EPERM then means what it means below 2
    errno = error;
    return write_refusal_means_in_use(error, level);
}

} // namespace

int claim_device(const char* device_path, const device_identity& identity, int* kept_fd) {
    // Opened for writing, as the workers will open it: the system refuses
    // that while some holders have the disk (FreeBSD's GEOM with EPERM,
    // DragonFly with EBUSY), and while this descriptor is open FreeBSD lets
    // nothing mount it. O_EXCL means nothing on a device here.
    int fd = open(device_path, O_RDWR | O_CLOEXEC);
    if (fd == -1 && errno == EROFS)
        return probe_read_only; // only where the system itself refuses the write open
    if (fd == -1)
        return refused_for_holder() ? probe_in_use : probe_cannot_open;
    if (!is_device(fd, identity)) {
        close(fd);
        return probe_other_device;
    }
    *kept_fd = fd; // open until the process ends
    return probe_ok;
}

#if defined(__FreeBSD__)
int flush_device_cache(int kept_fd) {
    // fsync reaches only the system's buffers, which direct transfers skip;
    // this request makes the drive write its cache out.
    return ioctl(kept_fd, DIOCGFLUSH);
}
#else
int flush_device_cache(int kept_fd) {
    // No request that a program may send makes the drive write its cache
    // out here; fsync writes out what the system itself holds.
    return fsync(kept_fd);
}
#endif

uint32_t draw_run_tag() {
    uint32_t tag = 0;
    arc4random_buf(&tag, sizeof tag);
    return tag;
}
