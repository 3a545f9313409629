// SPDX-License-Identifier: MIT
#include "device/platform.h"

#ifndef __linux__
#error "this file asks a Linux kernel about its block devices"
#endif

#include "device/probes.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// A device number as sysfs writes it, "MAJ:MIN".
bool read_device_number(const std::string& path, uint64_t* number) {
    FILE* file = fopen(path.c_str(), "re");
    if (file == nullptr)
        return false;
    unsigned major_number = 0;
    unsigned minor_number = 0;
    bool read = fscanf(file, "%u:%u", &major_number, &minor_number) == 2;
    fclose(file);
    *number = makedev(major_number, minor_number);
    return read;
}

// The first line of a sysfs file, without its line feed.
std::string read_line(const std::string& path) {
    std::string line;
    FILE* file = fopen(path.c_str(), "re");
    if (file == nullptr)
        return line;
    for (int c; (c = fgetc(file)) != EOF && c != '\n';)
        line += static_cast<char>(c);
    fclose(file);
    return line;
}

// The disk's own number and those of its partitions.
std::vector<uint64_t> disk_and_partitions(uint64_t disk) {
    std::vector<uint64_t> numbers{disk};
    const std::string base =
        "/sys/dev/block/" + std::to_string(major(disk)) + ":" + std::to_string(minor(disk)) + "/";
    DIR* listing = opendir(base.c_str());
    if (listing == nullptr)
        return numbers;
    while (const dirent* entry = readdir(listing)) {
        const std::string child = base + entry->d_name;
        uint64_t number = 0;
        if (access((child + "/partition").c_str(), F_OK) == 0 &&
            read_device_number(child + "/dev", &number))
            numbers.push_back(number);
    }
    closedir(listing);
    return numbers;
}

// An exclusive open does not see a loop device set up over the disk or one of
// its partitions, nor what is mounted from that loop device: ask every loop
// device what it is backed by.
bool backs_a_loop_device(uint64_t disk) {
    const std::vector<uint64_t> numbers = disk_and_partitions(disk);
    DIR* listing = opendir("/sys/block");
    if (listing == nullptr)
        return false;
    bool backs = false;
    while (const dirent* entry = readdir(listing)) {
        const std::string backing =
            read_line(std::string("/sys/block/") + entry->d_name + "/loop/backing_file");
        struct stat info;
        if (backing.empty() || stat(backing.c_str(), &info) == -1 || !S_ISBLK(info.st_mode))
            continue;
        for (uint64_t number : numbers)
            backs = backs || number == static_cast<uint64_t>(info.st_rdev);
    }
    closedir(listing);
    return backs;
}

} // namespace

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

int claim_device(const char* device_path, const device_identity& identity) {
    // An exclusive open of a block device fails with EBUSY while a file
    // system, a partition of the disk, swap or a RAID member holds it.
    int fd = open(device_path, O_RDONLY | O_EXCL | O_CLOEXEC);
    if (fd == -1)
        return errno == EBUSY ? probe_in_use : probe_cannot_open;
    if (!is_device(fd, identity)) {
        close(fd);
        return probe_other_device;
    }
    if (backs_a_loop_device(identity.number)) {
        close(fd);
        return probe_in_use;
    }
    return probe_ok; // fd stays open until the process ends
}
