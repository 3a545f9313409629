// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>

// With -r every 512-byte sector of every block written begins with a stamp
// of 16 bytes: the sector's own byte offset on the device (64 bits,
// little-endian), then the run's random tag (32 bits, little-endian) and the
// pass number (32 bits, little-endian). A block read back from another
// address, another pass or another run cannot match what was written there.
inline constexpr uint32_t stamped_sector_size = 512;
inline constexpr uint32_t stamp_size = 16;

// Writes the tag half of the stamp (RUN_TAG and PASS) into every sector of
// BLOCK, SIZE bytes; the rest of each sector stays as it is.
void stamp_tags(unsigned char* block, uint32_t size, uint32_t run_tag, uint32_t pass);

// Writes the offset half of the stamp into every sector of BLOCK, which is
// written at byte OFFSET of the device.
void stamp_offsets(unsigned char* block, uint32_t size, int64_t offset);

// Whether SECTOR begins with a stamp of this run (its random half is
// RUN_TAG); then *OFFSET is the offset that the stamp names.
bool read_stamp(const unsigned char* sector, uint32_t run_tag, int64_t* offset);

// Whether GOT, LENGTH bytes read back from byte OFFSET of the device, holds
// what a stamped block written there holds: PATTERN with every sector's
// stamp for OFFSET, RUN_TAG and PASS. Checked sector by sector against the
// one shared pattern, which costs less than stamping a copy to compare.
bool holds_stamped_block(const unsigned char* got, size_t length, const unsigned char* pattern,
                         int64_t offset, uint32_t run_tag, uint32_t pass);
