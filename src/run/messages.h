// SPDX-License-Identifier: MIT
#pragma once

// The run sequence's messages, written to standard error.
inline constexpr char msg_run_no_memory[] = "No free memory to allocate.";
inline constexpr char fmt_init_failed[] = "Error initializing workers: %s\n";
inline constexpr char fmt_start_failed[] = "Error starting workers: %s\n";
inline constexpr char fmt_flush_failed[] = "Failed to flush data to disk device: %s: %s\n";

// Written by the interrupt handler with write(2): a newline, so that the
// progress line stays whole above it.
inline constexpr char abort_notice[] = "\nAborting...\n";
static_assert(sizeof abort_notice - 1 == 13, "the notice is 13 bytes");
