// SPDX-License-Identifier: MIT
#include "device/description.h"

#ifndef __DragonFly__
#error "this file finds a DragonFly disk's serial among its /dev/serno aliases"
#endif

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <string>

// No request gives a disk's model or serial here; the system names an alias
// of every disk that reports a serial after it, under /dev/serno.
std::string describe_device(const device_identity& identity, int) {
    const dev_t device = static_cast<dev_t>(identity.number);
    const uint32_t unit = dragonfly_unit(static_cast<uint32_t>(minor(device)));
    DIR* listing = opendir("/dev/serno");
    if (listing == nullptr)
        return "";
    std::string serial;
    while (const dirent* entry = readdir(listing)) {
        // The aliases are links to the nodes; a slice or partition has one
        // of its own, and the disk's is the whole disk of the same unit.
        struct stat info;
        const std::string path = std::string("/dev/serno/") + entry->d_name;
        if (stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode) ||
            major(info.st_rdev) != major(device))
            continue;
        const uint32_t found = static_cast<uint32_t>(minor(info.st_rdev));
        if (dragonfly_whole_disk(found) && dragonfly_unit(found) == unit)
            serial = entry->d_name;
    }
    closedir(listing);
    return serial.empty() ? "" : "serial " + serno_text(serial);
}
