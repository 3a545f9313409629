// SPDX-License-Identifier: MIT
#include "lying_cache.h"

#include <algorithm>
#include <cstring>

std::uint64_t cache_put(lying_cache& cache, const unsigned char* data, std::uint64_t offset,
                        std::size_t length) {
    cache.writes.push_back(cached_write{offset, std::vector<unsigned char>(data, data + length)});
    cache.bytes += length;
    std::uint64_t lost = 0;
    while (cache.bytes > cache.capacity) {
        lost += cache.writes.front().bytes.size();
        cache.bytes -= cache.writes.front().bytes.size();
        cache.writes.pop_front();
    }
    return lost;
}

void cache_overlay(const lying_cache& cache, unsigned char* data, std::uint64_t offset,
                   std::size_t length) {
    for (const cached_write& write : cache.writes) { // oldest first: the newest is copied last
        const std::uint64_t from = std::max(write.offset, offset);
        const std::uint64_t to =
            std::min<std::uint64_t>(write.offset + write.bytes.size(), offset + length);
        if (from < to)
            std::memcpy(data + (from - offset), write.bytes.data() + (from - write.offset),
                        to - from);
    }
}

std::uint64_t cache_empty(lying_cache& cache) {
    const std::uint64_t lost = cache.bytes;
    cache.writes.clear();
    cache.bytes = 0;
    return lost;
}
