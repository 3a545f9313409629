// SPDX-License-Identifier: MIT
#include "device/sector_size.h"

#ifndef __linux__
#error "this file asks a Linux kernel for the sector size"
#endif

#include <linux/fs.h>
#include <sys/ioctl.h>

int request_sector_size(int fd, uint32_t* sector_size) {
    int size = 0; // BLKSSZGET fills an int
    int result = ioctl(fd, BLKSSZGET, &size);
    if (result != -1)
        *sector_size = static_cast<uint32_t>(size);
    return result;
}
