// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>

// What sysfs says of a block device: plain text files that the kernel
// answers at once, never a look at a backing file.

// The first line of a sysfs file, without its line feed; empty when there is
// no such file.
std::string sysfs_line(const std::string& path);

// A "MAJOR:MINOR" sysfs file (such as a folder's "dev") as a device number;
// 0 when there is none.
uint64_t sysfs_device_number(const std::string& path);

// "/sys/dev/block/MAJOR:MINOR", the folder of the block device DEVICE.
std::string sysfs_folder(uint64_t device);

// Whether the block device whose sysfs folder is FOLDER is a partition; its
// disk's folder is then FOLDER + "/..".
bool sysfs_is_partition(const std::string& folder);
