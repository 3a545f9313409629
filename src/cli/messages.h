// SPDX-License-Identifier: MIT
#pragma once

// The start-up messages, all written to standard error.
inline constexpr char msg_unknown_suffix[] = "Unknown unit suffix set in block size.";
inline constexpr char msg_bad_block_size[] = "Invalid block size value.";
inline constexpr char msg_block_not_multiple[] =
    "Block size is required to be a multiple of 512 bytes.\n";
inline constexpr char msg_bad_workers[] = "Invalid number of workers.";
inline constexpr char msg_bad_passes[] = "Invalid number of passes.";
inline constexpr char fmt_cannot_access[] = "Can't access device: %s: %s\n";
inline constexpr char fmt_not_a_disk[] = "Error: %s is not a disk device.\n";
inline constexpr char fmt_cannot_open[] = "Can't open device: %s: %s\n";
inline constexpr char fmt_no_sector_size[] = "Can't get sector size of the device: %s: %s\n";
inline constexpr char fmt_block_below_sector[] =
    "The block size can't be less than the disk's sector size (%u).\n";
inline constexpr char fmt_block_not_sector_multiple[] =
    "The block size must be a multiple of the disk's sector size (%u).\n";
inline constexpr char fmt_no_disk_size[] = "Can't get disk size from the device: %s: %s\n";
inline constexpr char fmt_in_use[] = "Error: %s is in use by the system.\n";
inline constexpr char fmt_other_device[] = "Error: %s is no longer the device that was checked.\n";
inline constexpr char fmt_read_only[] = "Error: %s is read-only.\n";
inline constexpr char fmt_unexpected_argument[] = "Unexpected argument after DEVICE: %s\n";
// The line naming the device: its path, its size in bytes and in decimal GB;
// what the system says of it follows after ", " when it says anything.
inline constexpr char fmt_device_size[] = "%s: %lld bytes (%.1f GB)";

static_assert(sizeof msg_block_not_multiple - 1 == 54, "written verbatim, 54 bytes");
