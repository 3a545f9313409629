// SPDX-License-Identifier: MIT
#include "engine/stamp.h"

namespace {

// Little-endian whatever the machine: a device written on one machine reads
// the same on another.
void put_le(unsigned char* at, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        at[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint64_t get_le(const unsigned char* at, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = value << 8 | at[i];
    return value;
}

} // namespace

void stamp_tags(unsigned char* block, uint32_t size, uint32_t run_tag, uint32_t pass) {
    for (uint32_t at = 0; at + stamp_size <= size; at += stamped_sector_size) {
        put_le(block + at + 8, run_tag, 4);
        put_le(block + at + 12, pass, 4);
    }
}

void stamp_offsets(unsigned char* block, uint32_t size, int64_t offset) {
    for (uint32_t at = 0; at + stamp_size <= size; at += stamped_sector_size)
        put_le(block + at, static_cast<uint64_t>(offset) + at, 8);
}

bool read_stamp(const unsigned char* sector, uint32_t run_tag, int64_t* offset) {
    if (get_le(sector + 8, 4) != run_tag)
        return false;
    *offset = static_cast<int64_t>(get_le(sector, 8));
    return true;
}
