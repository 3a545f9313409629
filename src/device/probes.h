// SPDX-License-Identifier: MIT
#pragma once

#include "device/identity.h"

#include <cstdint>

// Result codes of the probes; no code means two things. A failing probe
// leaves errno as the failed system call set it.
enum probe_result {
    probe_ok = 0,
    probe_cannot_access = 1,    // stat failed
    probe_cannot_open = 2,      // open failed
    probe_no_sector_size = 3,   // the sector-size request failed
    probe_no_disk_size = 4,     // the seek to the last byte failed
    probe_not_block_device = 5, // the path names no disk
    probe_in_use = 6,           // the system holds the device (mounted, swap, RAID member, loop)
    probe_other_device = 7,     // the path now leads to another device than the one checked
    probe_read_only = 8,        // the device takes no writes
};

// Tells whether the path (links followed) names a disk, and stores which
// device it is in *identity; every later open of the path must reach it.
int check_block_device(const char* device_path, device_identity* identity);

// Whether a file of FILE_TYPE (the type bits of st_mode) is a disk: a block
// special file always; a character special file where CHARACTER_DISKS says
// that disks are such files, and then only if it answers the sector-size
// request (ANSWERS_SECTOR_SIZE).
bool is_disk_node(uint32_t file_type, bool answers_sector_size, bool character_disks);

// Stores the device's logical sector size in *sector_size.
int query_sector_size(const char* device_path, const device_identity& identity,
                      uint32_t* sector_size);

// Stores the device's size in bytes in *disk_size (-1 when the seek fails).
int query_disk_size(const char* device_path, const device_identity& identity, int64_t* disk_size);
