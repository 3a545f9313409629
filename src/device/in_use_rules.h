// SPDX-License-Identifier: MIT
#pragma once

// The decisions of the in-use checks that need no system: which bytes of a
// disk a loop device or a partition covers (Linux), what a GEOM access mode
// says (FreeBSD), which nodes of a disk overlap and what node a mount names
// (DragonFly), and what a refused write open means (both BSDs). Compiled on
// every system, so that the tests run them on Linux.

#include <cstdint>
#include <string>

// Bytes [start, end) of a device; end is to_the_end when the span runs to the
// device's end, whatever its size.
struct byte_span {
    uint64_t start = 0;
    uint64_t end = 0;
};
inline constexpr uint64_t to_the_end = UINT64_MAX;

// The whole of a device.
byte_span whole_device();

// A partition as sysfs gives it: start and size in 512-byte units, whatever
// the disk's sector size.
byte_span partition_span(uint64_t start_units, uint64_t size_units);

// What a loop device shows of its backing device: from OFFSET, SIZE_LIMIT
// bytes (0: up to the backing device's end).
byte_span loop_span(uint64_t offset, uint64_t size_limit);

// INNER, counted from the start of OUTER, as bytes of the device that OUTER
// lies on; cut at OUTER's end (a loop device shows no more than its window).
byte_span span_within(byte_span inner, byte_span outer);

bool spans_overlap(byte_span a, byte_span b);

// Open counts on a GEOM provider or consumer ("r1w1e0").
struct geom_access {
    int reads = 0;
    int writes = 0;
    int exclusive = 0;
};

enum class geom_holding {
    free,       // nobody but the program
    reads_only, // someone more reads it (perhaps a moment's tasting): look again
    held,       // someone else writes to it or holds it exclusively
};

// Judges a provider's access mode text against the program's OWN opens of
// it. A text that does not read as "rNwNeN" counts as held.
geom_holding judge_geom_mode(const std::string& mode, geom_access own);

// The disk, slice and partition that a DragonFly disk node's minor number
// names. Slice 0 is the compatibility slice, slice 1 the whole disk;
// partition 255 is the whole slice.
struct dragonfly_node {
    uint32_t unit = 0;
    uint32_t slice = 0;
    uint32_t partition = 0;
};

dragonfly_node dragonfly_node_of(uint32_t minor);

// Whether two disk nodes of one driver (equal majors) share bytes: the same
// unit, and the same slice or one of them the whole disk or the
// compatibility slice. Partitions of one slice count as overlapping: an old
// label's 'c' covers the whole slice.
bool dragonfly_nodes_overlap(uint32_t minor_a, uint32_t minor_b);

// A HAMMER2 mount source "DEVICE@LABEL" cut at its last '@': the device
// ("" for "@LABEL"); a name without '@' stays as it is.
std::string cut_hammer2_label(const std::string& source);

// The path of the device node that a mount source names (the root's name
// may lack "/dev/"), or "" when it names none under /dev: a null mount's
// folder, which could lie on a network file system that does not answer, is
// never looked up.
std::string node_path_of(const std::string& name);

// Whether a write open of a disk that failed with ERROR was refused because
// something holds the disk. EPERM means that only below securelevel 2: from
// 2 on, every write open of a disk fails with it.
bool write_refusal_means_in_use(int error, int securelevel);
