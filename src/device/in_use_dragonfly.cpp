// SPDX-License-Identifier: MIT
// What the write open cannot see on DragonFly: it is refused only when that
// very node is mounted read-write by a file system that marks its device,
// never for HAMMER2, a mounted slice of the disk, or swap. The mount list and
// the swap list name every node in use; a node overlaps the tested one when
// its device number names the same disk and bytes of it (any alias, such as
// /dev/serno/..., has the same number).
#include "device/platform.h"

#ifndef __DragonFly__
#error "this file reads DragonFly's mount and swap lists"
#endif

#include "device/in_use_rules.h"
#include "device/probes.h"

#include <sys/types.h>
#include <sys/param.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysctl.h>
#include <vfs/hammer/hammer_ioctl.h>
#include <vm/vm_param.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

namespace {

constexpr int swap_slot_live = 0x01; // SW_FREED: the slot holds a swap device
// Room for every volume of a HAMMER file system (its format allows 256).
constexpr int hammer_volume_room = 256;

bool same_bytes(uint64_t node, uint64_t target) {
    return major(node) == major(target) &&
           dragonfly_nodes_overlap(static_cast<uint32_t>(minor(node)),
                                   static_cast<uint32_t>(minor(target)));
}

// Whether PATH is a disk node over bytes of TARGET.
bool node_over(const std::string& path, uint64_t target) {
    struct stat info;
    return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode) &&
           same_bytes(info.st_rdev, target);
}

// A mount's source: a node path, a root's name without "/dev/", or a
// HAMMER2 "DEVICE@LABEL" (cut only when the whole name is no node: a serial
// number may hold an '@').
bool source_over(const char* source, uint64_t target) {
    std::string path = node_path_of(source);
    struct stat info;
    if (!path.empty() && stat(path.c_str(), &info) != 0)
        path = node_path_of(cut_hammer2_label(source));
    return node_over(path, target);
}

// A mounted HAMMER1 file system shows its label as source; its volumes'
// paths come from the file system itself.
bool hammer1_volume_over(const char* mount_point, uint64_t target) {
    using volume = std::remove_pointer_t<decltype(hammer_ioc_volume_list::vols)>;
    std::vector<volume> volumes(hammer_volume_room);
    hammer_ioc_volume_list list{};
    list.vols = volumes.data();
    list.nvols = hammer_volume_room;
    const int fd = open(mount_point, O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        return false;
    const bool listed = ioctl(fd, HAMMERIOC_LIST_VOLUMES, &list) == 0;
    close(fd);
    if (!listed)
        return false;
    for (const volume& entry : volumes) {
        const std::string path(entry.device_name,
                               strnlen(entry.device_name, sizeof entry.device_name));
        if (node_over(path, target))
            return true;
    }
    return false;
}

// MNT_NOWAIT: a network file system that does not answer is not waited for.
bool mounted_over(uint64_t target) {
    const int count = getfsstat(nullptr, 0, MNT_NOWAIT);
    if (count < 0)
        return true; // no list to clear the device with
    std::vector<struct statfs> mounts(static_cast<size_t>(count) + 8);
    const int listed =
        getfsstat(mounts.data(), static_cast<long>(mounts.size() * sizeof mounts[0]), MNT_NOWAIT);
    if (listed < 0)
        return true;
    for (int i = 0; i < listed && static_cast<size_t>(i) < mounts.size(); ++i) {
        const struct statfs& entry = mounts[static_cast<size_t>(i)];
        if (source_over(entry.f_mntfromname, target))
            return true;
        if (std::strcmp(entry.f_fstypename, "hammer") == 0 &&
            hammer1_volume_over(entry.f_mntonname, target))
            return true;
    }
    return false;
}

// The swap list holds one record per slot, each saying its own size.
bool swap_over(uint64_t target) {
    size_t size = 0;
    if (sysctlbyname("vm.swap_info_array", nullptr, &size, nullptr, 0) == -1)
        return true; // no list to clear the device with
    std::vector<char> slots(size);
    if (size > 0 && sysctlbyname("vm.swap_info_array", slots.data(), &size, nullptr, 0) == -1)
        return true;
    for (size_t at = 0; at + sizeof(u_int) <= size;) {
        xswdev slot{};
        std::memcpy(&slot, slots.data() + at, std::min(sizeof slot, size - at));
        if (slot.xsw_size == 0)
            break;
        // A swap file has no device: its number has every bit set.
        const bool on_device = slot.xsw_dev != static_cast<decltype(slot.xsw_dev)>(-1);
        if ((slot.xsw_flags & swap_slot_live) != 0 && on_device && same_bytes(slot.xsw_dev, target))
            return true;
        at += slot.xsw_size;
    }
    return false;
}

} // namespace

int check_not_in_use(const char*, const device_identity& identity, int) {
    return mounted_over(identity.number) || swap_over(identity.number) ? probe_in_use : probe_ok;
}
