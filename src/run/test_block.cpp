// SPDX-License-Identifier: MIT
#include "run/test_block.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

void fill_random_pattern(unsigned char* pattern, uint32_t size) {
    srand(static_cast<unsigned int>(time(nullptr)));
    for (uint32_t i = 0; i < size; ++i)
        pattern[i] = static_cast<unsigned char>(rand() % 256);
}

unsigned char* make_test_block(uint32_t block_size, uint32_t sector_size, bool zero_fill) {
    void* block = nullptr;
    if (posix_memalign(&block, sector_size, block_size) != 0)
        return nullptr;
    unsigned char* pattern = static_cast<unsigned char*>(block);
    if (zero_fill)
        memset(pattern, 0, block_size);
    else
        fill_random_pattern(pattern, block_size);
    return pattern;
}
