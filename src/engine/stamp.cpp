// SPDX-License-Identifier: MIT
#include "engine/stamp.h"

#include <algorithm>
#include <cstring>

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

bool holds_stamped_block(const unsigned char* got, size_t length, const unsigned char* pattern,
                         int64_t offset, uint32_t run_tag, uint32_t pass) {
    unsigned char stamp[stamp_size];
    put_le(stamp + 8, run_tag, 4);
    put_le(stamp + 12, pass, 4);
    for (size_t at = 0; at < length; at += stamped_sector_size) {
        put_le(stamp, static_cast<uint64_t>(offset) + at, 8);
        // A block cut short by the device's end may end inside a stamp.
        const size_t sector = std::min<size_t>(stamped_sector_size, length - at);
        const size_t head = std::min<size_t>(sector, stamp_size);
        if (memcmp(got + at, stamp, head) != 0 ||
            memcmp(got + at + head, pattern + at + head, sector - head) != 0)
            return false;
    }
    return true;
}
