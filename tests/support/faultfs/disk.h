// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The memory-backed disk of the faultfs daemon: its bytes, its fault rules
// and its counters. Every function is safe to call from several threads.

// Maps SIZE bytes of anonymous memory (MAP_NORESERVE: untouched parts cost
// nothing). Call once before anything else; gives false when mmap fails.
bool disk_init(std::uint64_t size);

// The apparent size of the disk file in bytes.
std::uint64_t disk_size();

// A read of the disk file as the loop device sees it: rules apply and the
// request is counted. Gives the byte count or -errno.
int disk_read(char* buffer, std::size_t size, std::uint64_t offset);

// A write of the disk file: rules apply and the request is counted.
int disk_write(const char* buffer, std::size_t size, std::uint64_t offset);

// The stored bytes themselves, without rules or counting.
int disk_read_stored(char* buffer, std::size_t size, std::uint64_t offset);
int disk_write_stored(const char* buffer, std::size_t size, std::uint64_t offset);

// Applies text lines (see rules.h); gives an empty string or the first error.
std::string disk_command(const std::string& text);

// The counters as "name value" lines.
std::string disk_stats_text();

// Counts an fsync of the disk file. It stores nothing more: every write is
// stored, or lost, when it is made.
void disk_count_flush();

// Wakes requests waiting in a delay (they finish at once).
void disk_release_delays();
