// SPDX-License-Identifier: MIT
#pragma once

// The engine's messages, written to standard error from any thread.
inline constexpr char fmt_lock_failed[] = "Failed to lock mutex: %s\n";
inline constexpr char fmt_unlock_failed[] = "Failed to unlock mutex: %s\n";
inline constexpr char fmt_worker_cannot_open[] = "Can't open device: %s: %s\n";
inline constexpr char fmt_seek_failed[] = "Failed to seek on disk device: %s: %s\n";
inline constexpr char fmt_write_failed[] = "Failed to write data to disk device: %s: %s\n";
inline constexpr char fmt_read_back_failed[] =
    "Failed to read back written data on disk device: %s: %s\n";
inline constexpr char fmt_mismatch[] = "Error verifying block at offset #: %ld\n";
inline constexpr char msg_no_memory[] = "No free memory to allocate.";
inline constexpr char fmt_other_device[] = "Error: %s is no longer the device that was checked.\n";
