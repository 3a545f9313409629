// SPDX-License-Identifier: MIT
#include "device/description.h"
#include "device/sysfs_linux.h"

#ifndef __linux__
#error "this file reads what a Linux kernel says of its block devices"
#endif

#include <dirent.h>
#include <sys/stat.h>

#include <string>
#include <vector>

namespace {

// The sysfs folder of the disk: the device's own, or for a partition its
// parent (the kernel resolves ".." after the link to the real folder).
std::string disk_folder(uint64_t device) {
    const std::string own = sysfs_folder(device);
    return sysfs_is_partition(own) ? own + "/.." : own;
}

// The name under /dev/disk/by-id that says the most of the disk whose sysfs
// folder is DISK. The links there are udev's and lead into /dev, so stat
// cannot reach a file system that hangs.
std::string by_id_name(const std::string& disk) {
    const uint64_t number = sysfs_device_number(disk + "/dev");
    if (number == 0)
        return "";
    DIR* listing = opendir("/dev/disk/by-id");
    if (listing == nullptr)
        return "";
    std::vector<std::string> names;
    while (const dirent* entry = readdir(listing)) {
        struct stat info;
        const std::string path = std::string("/dev/disk/by-id/") + entry->d_name;
        if (stat(path.c_str(), &info) == 0 && S_ISBLK(info.st_mode) && info.st_rdev == number)
            names.push_back(entry->d_name);
    }
    closedir(listing);
    return pick_by_id_name(names);
}

} // namespace

std::string describe_device(const device_identity& identity, int) {
    const std::string disk = disk_folder(identity.number);
    const std::string name = by_id_name(disk);
    if (!name.empty())
        return name;
    const std::string known =
        model_and_serial(sysfs_line(disk + "/device/model"), sysfs_line(disk + "/device/serial"));
    if (!known.empty())
        return known;
    // The path as sysfs gives it: the file itself is never looked at, as it
    // may lie on a file system that no longer answers.
    const std::string backing = sysfs_line(disk + "/loop/backing_file");
    return backing.empty() ? "" : "backing file " + backing;
}
