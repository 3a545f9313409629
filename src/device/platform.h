// SPDX-License-Identifier: MIT
#pragma once

#include "device/identity.h"

#include <cstdint>

// What differs between systems, one file per system: the sector-size request,
// what kind of special file a disk is, and how to tell that a disk is in use.

// Asks the device behind fd for its logical sector size. Returns -1 with errno
// set when the request fails or gives a size of 0 (EINVAL then); any other
// value is success.
int request_sector_size(int fd, uint32_t* sector_size);

// True where disks are character special files (devfs makes no block ones).
bool character_devices_can_be_disks();

// Opens the device and keeps the descriptor (*KEPT_FD) until the process
// ends, so that the system cannot take the device while it is tested; the
// open is exclusive where the system has that notion. Returns probe_ok,
// probe_cannot_open, probe_in_use, probe_other_device (the path no longer
// leads to IDENTITY) or probe_read_only.
int claim_device(const char* device_path, const device_identity& identity, int* kept_fd);

// Looks for holders of the device that the claim cannot see (a loop device
// set up over it, a mount the system does not refuse). KEPT_FD is the
// claim's descriptor. Returns probe_ok or probe_in_use. In its own files,
// in_use_*.cpp; on Linux it names each loop device it had to skip on
// standard error.
int check_not_in_use(const char* device_path, const device_identity& identity, int kept_fd);

// Makes the device write out what its own cache holds, through KEPT_FD.
// Returns 0, or -1 with errno set.
int flush_device_cache(int kept_fd);

// 32 bits from the system's random source, drawn once per run for the stamps.
uint32_t draw_run_tag();
