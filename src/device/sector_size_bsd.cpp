// SPDX-License-Identifier: MIT
#include "device/sector_size.h"

#include <sys/ioctl.h>

#if defined(__FreeBSD__)
#include <sys/disk.h>

int request_sector_size(int fd, uint32_t* sector_size) {
    u_int size = 0;
    int result = ioctl(fd, DIOCGSECTORSIZE, &size);
    if (result != -1)
        *sector_size = size;
    return result;
}

#elif defined(__DragonFly__)
#include <sys/diskslice.h>

int request_sector_size(int fd, uint32_t* sector_size) {
    struct partinfo info = {};
    int result = ioctl(fd, DIOCGPART, &info);
    if (result != -1)
        *sector_size = info.media_blksize;
    return result;
}

#else
#error "this file knows the sector-size request of FreeBSD and DragonFly only"
#endif
