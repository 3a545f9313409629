// SPDX-License-Identifier: MIT
// What the exclusive claim cannot see on Linux: loop devices over the disk's
// bytes, however their backing file was reached (a node made anywhere with
// the disk's number, a bind mount of /dev, a range of the whole disk over a
// partition). Loop devices and their backing files are judged by device
// numbers and byte ranges, never by path text.
#include "device/platform.h"

#ifndef __linux__
#error "this file asks a Linux kernel about its loop devices"
#endif

#include "device/in_use_rules.h"
#include "device/loop_status_linux.h"
#include "device/probes.h"
#include "device/sysfs_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Loop devices stacked deeper than this are not followed further down.
constexpr int deepest_stack = 8;

uint64_t read_number(const std::string& path) {
    return std::strtoull(sysfs_line(path).c_str(), nullptr, 10);
}

// The node under /dev of the block device whose sysfs folder is DIR.
std::string node_of(const std::string& dir) {
    const std::string uevent = dir + "/uevent";
    FILE* file = fopen(uevent.c_str(), "re");
    std::string node;
    if (file == nullptr)
        return node;
    char line[256];
    while (fgets(line, sizeof line, file) != nullptr) {
        const std::string text = line;
        if (text.compare(0, 8, "DEVNAME=") == 0)
            node = "/dev/" + text.substr(8, text.find('\n') - 8);
    }
    fclose(file);
    return node;
}

// Bytes of a whole disk.
struct disk_place {
    uint64_t disk = 0;
    byte_span span;
};

bool overlap(const disk_place& a, const disk_place& b) {
    return a.disk == b.disk && spans_overlap(a.span, b.span);
}

// Where a block device lies: a partition on its disk, a disk all of itself.
disk_place place_of(uint64_t device) {
    const std::string dir = sysfs_folder(device);
    if (!sysfs_is_partition(dir))
        return disk_place{device, whole_device()};
    return disk_place{sysfs_device_number(dir + "/../dev"),
                      partition_span(read_number(dir + "/start"), read_number(dir + "/size"))};
}

// The bytes of a disk that a loop device shows.
disk_place place_of_loop(const loop_status& loop) {
    disk_place place = place_of(loop.backing);
    place.span = span_within(loop_span(loop.offset, loop.size_limit), place.span);
    return place;
}

const loop_status* loop_with_number(const std::vector<loop_status>& loops, uint64_t device) {
    for (const loop_status& loop : loops)
        if (loop.device == device)
            return &loop;
    return nullptr;
}

// Whether another loop device than those in STACK shows bytes of TARGET.
bool loop_over(const disk_place& target, const std::vector<loop_status>& loops,
               const std::vector<uint64_t>& stack) {
    for (const loop_status& loop : loops) {
        const bool in_stack = std::find(stack.begin(), stack.end(), loop.device) != stack.end();
        if (!in_stack && loop.backing != 0 && overlap(place_of_loop(loop), target))
            return true;
    }
    return false;
}

// Whether the system holds the block device DEVICE exclusively (a mount,
// swap, a RAID member, a partition of it in use): the claim's own test.
bool held(uint64_t device) {
    const std::string node = node_of(sysfs_folder(device));
    struct stat info;
    if (stat(node.c_str(), &info) != 0 || !S_ISBLK(info.st_mode) || info.st_rdev != device)
        return false; // no node of it to ask
    const int fd = open(node.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC | O_NONBLOCK);
    if (fd == -1)
        return errno == EBUSY;
    close(fd);
    return false;
}

// Whether the system holds bytes of TARGET, a place under the tested loop
// device: the partitions of its disk that overlap it, or the disk itself
// when none does.
bool held_under(const disk_place& target) {
    const std::string dir = sysfs_folder(target.disk);
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr)
        return held(target.disk);
    bool any_partition = false;
    bool holds = false;
    while (const dirent* entry = readdir(listing)) {
        const std::string child = dir + "/" + entry->d_name;
        if (!sysfs_is_partition(child))
            continue;
        const uint64_t partition = sysfs_device_number(child + "/dev");
        if (!overlap(place_of(partition), target))
            continue;
        any_partition = true;
        holds = holds || held(partition);
    }
    closedir(listing);
    return any_partition ? holds : held(target.disk);
}

} // namespace

int check_not_in_use(const char*, const device_identity& identity, int) {
    const std::vector<loop_status> loops = ask_loop_devices();
    disk_place target = place_of(identity.number);
    // The tested device and the loop devices it is stacked on: not holders.
    std::vector<uint64_t> stack;
    for (int depth = 0; depth < deepest_stack; ++depth) {
        if (loop_over(target, loops, stack))
            return probe_in_use;
        // A loop device tested, or one under it: its backing device's
        // bytes must be free as well.
        const loop_status* under = loop_with_number(loops, target.disk);
        if (under == nullptr || under->backing == 0)
            return probe_ok;
        stack.push_back(under->device);
        disk_place below = place_of(under->backing);
        below.span = span_within(
            span_within(target.span, loop_span(under->offset, under->size_limit)), below.span);
        target = below;
        if (held_under(target))
            return probe_in_use;
    }
    return probe_ok;
}
