// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

// Fills size bytes with pseudo-random values from 0 to 255, seeded with the
// current second: two runs started within one second write the same block.
// With the complement that even passes write, every bit of the block is
// written both ways.
void fill_random_pattern(unsigned char* pattern, uint32_t size);

// Allocates the test block (block_size bytes aligned to sector_size) and fills
// it with zeros or with fill_random_pattern. Returns null when the memory
// cannot be had.
unsigned char* make_test_block(uint32_t block_size, uint32_t sector_size, bool zero_fill);
