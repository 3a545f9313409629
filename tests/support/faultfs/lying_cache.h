// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

// The cache of a drive that keeps only its latest writes and never stores
// them: whole requests, up to a capacity in bytes, oldest out first. The
// caller guards it.

struct cached_write {
    std::uint64_t offset;             // where the request wrote
    std::vector<unsigned char> bytes; // what it wrote
};

struct lying_cache {
    bool active = false;             // a lying-cache rule is set
    std::uint64_t capacity = 0;      // its BYTES
    std::deque<cached_write> writes; // the writes it holds, oldest first
    std::uint64_t bytes = 0;         // their bytes in all
};

// Adds a write of LENGTH bytes of DATA at OFFSET; gives the bytes of the
// writes pushed out (a write larger than the cache pushes itself out).
std::uint64_t cache_put(lying_cache& cache, const unsigned char* data, std::uint64_t offset,
                        std::size_t length);

// Copies over DATA, which holds [offset, offset + length), the bytes the
// cache holds there, the newest write winning.
void cache_overlay(const lying_cache& cache, unsigned char* data, std::uint64_t offset,
                   std::size_t length);

// Empties the cache; gives the bytes it held.
std::uint64_t cache_empty(lying_cache& cache);
