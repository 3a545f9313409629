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
#include <sys/random.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

namespace {

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

// The node under /dev of the block device whose sysfs folder is DIR, from
// the DEVNAME line of its uevent file; empty when there is none.
std::string node_of(const std::string& dir) {
    std::string node;
    FILE* file = fopen((dir + "/uevent").c_str(), "re");
    if (file == nullptr)
        return node;
    char line[256];
    while (fgets(line, sizeof line, file) != nullptr) {
        std::string text = line;
        if (text.compare(0, 8, "DEVNAME=") == 0)
            node = "/dev/" + text.substr(8, text.find('\n') - 8);
    }
    fclose(file);
    return node;
}

// The nodes of the disk and of its partitions.
std::vector<std::string> disk_and_partition_nodes(uint64_t disk) {
    const std::string base =
        "/sys/dev/block/" + std::to_string(major(disk)) + ":" + std::to_string(minor(disk));
    std::vector<std::string> nodes{node_of(base)};
    DIR* listing = opendir(base.c_str());
    if (listing == nullptr)
        return nodes;
    while (const dirent* entry = readdir(listing)) {
        const std::string child = base + "/" + entry->d_name;
        if (access((child + "/partition").c_str(), F_OK) == 0)
            nodes.push_back(node_of(child));
    }
    closedir(listing);
    return nodes;
}

// An exclusive open does not see a loop device set up over the disk or one of
// its partitions, nor what is mounted from that loop device: ask every loop
// device what it is backed by. The backing file's path is compared, not
// looked up: a path on a file system that no longer answers (a loop device
// over a FUSE file whose daemon hangs) would hang the lookup.
bool backs_a_loop_device(uint64_t disk) {
    const std::vector<std::string> nodes = disk_and_partition_nodes(disk);
    DIR* listing = opendir("/sys/block");
    if (listing == nullptr)
        return false;
    bool backs = false;
    while (const dirent* entry = readdir(listing)) {
        const std::string backing =
            read_line(std::string("/sys/block/") + entry->d_name + "/loop/backing_file");
        for (const std::string& node : nodes)
            backs = backs || (!backing.empty() && backing == node);
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

int check_not_in_use(const char*, const device_identity& identity, int) {
    return backs_a_loop_device(identity.number) ? probe_in_use : probe_ok;
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
