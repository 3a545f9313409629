// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

// Result codes of the probes; no code means two things. A failing probe
// leaves errno as the failed system call set it.
enum probe_result {
    probe_ok = 0,
    probe_cannot_access = 1,    // stat failed
    probe_cannot_open = 2,      // open read-only failed
    probe_no_sector_size = 3,   // the sector-size request failed
    probe_no_disk_size = 4,     // the seek to the last byte failed
    probe_not_block_device = 5, // the path is no block special file
    probe_in_use = 6,           // the system holds the device (mounted, swap, RAID member)
};

// Tells whether the path (links followed) names a block special file.
int check_block_device(const char* device_path);

// Stores the device's logical sector size in *sector_size.
int query_sector_size(const char* device_path, uint32_t* sector_size);

// Stores the device's size in bytes in *disk_size (-1 when the seek fails).
int query_disk_size(const char* device_path, int64_t* disk_size);

// Opens the device exclusively and keeps it open until the process ends, so
// that the system cannot take it while it is tested. Returns probe_ok,
// probe_in_use or probe_cannot_open. Where the system has no such notion,
// always probe_ok.
int claim_device(const char* device_path);
