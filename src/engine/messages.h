// SPDX-License-Identifier: MIT
#pragma once

// The engine's messages, written to standard error from any thread.
inline constexpr char fmt_lock_failed[] = "Failed to lock mutex: %s\n";
inline constexpr char fmt_unlock_failed[] = "Failed to unlock mutex: %s\n";
inline constexpr char fmt_worker_cannot_open[] = "Can't open device: %s: %s\n";
inline constexpr char fmt_seek_failed[] = "Failed to seek on disk device: %s: %s\n";

// A block whose write or read fails is named right before the failure, in
// the same write, so that no other thread's message comes between.
#define WRITE_FAILED_TEXT "Failed to write data to disk device: %s: %s\n"
#define READ_BACK_FAILED_TEXT "Failed to read back written data on disk device: %s: %s\n"
inline constexpr char fmt_write_failed_at[] =
    "Error writing block at offset #: %ld\n" WRITE_FAILED_TEXT;
inline constexpr char fmt_read_back_failed_at[] =
    "Error reading block at offset #: %ld\n" READ_BACK_FAILED_TEXT;

// A block that did not match; when its first sector holds the stamp of
// another block of this run, the block it holds is named too.
#define MISMATCH_TEXT "Error verifying block at offset #: %ld\n"
inline constexpr char fmt_mismatch[] = MISMATCH_TEXT;
inline constexpr char fmt_mismatch_holding[] =
    MISMATCH_TEXT "Block at offset #: %ld holds the data written at offset #: %ld\n";
inline constexpr char msg_no_memory[] = "No free memory to allocate.";
inline constexpr char fmt_other_device[] = "Error: %s is no longer the device that was checked.\n";
