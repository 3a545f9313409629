// SPDX-License-Identifier: MIT
#pragma once

#include "support/process.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// One pass of the engine driven through the pool's interface, in a child
// process of its own: the pool is process-wide state that cannot be reset,
// and a worker's failure ends the whole process. The child is this test
// binary started again; it runs the pass before any test and exits.
//
//     engine_plan plan{disk.path(), 1 << 20, 512, 4096, 4};
//     engine_outcome run = run_engine(plan);
//     EXPECT_EQ(run.child.err, "");
//     EXPECT_EQ(run.verified, 1 << 20);

enum class stop_plan {
    none,         // the pass runs to its end
    before_start, // pool_request_stop before pool_init and pool_start
    after_bytes,  // pool_request_stop once stop_after bytes are verified
};

struct engine_plan {
    engine_plan(std::string device_path, std::int64_t size, std::uint32_t sector,
                std::uint32_t block, std::uint32_t worker_count)
        : device(std::move(device_path)), disk_size(size), sector_size(sector), block_size(block),
          workers(worker_count) {}

    std::string device;
    std::int64_t disk_size;
    std::uint32_t sector_size;
    std::uint32_t block_size;
    std::uint32_t workers;
    stop_plan stop = stop_plan::none;
    std::int64_t stop_after = 0;  // for stop_plan::after_bytes
    std::vector<std::string> env; // extra environment of the child: LD_PRELOAD, FAIL_*
};

struct engine_outcome {
    child_result child;                 // exit, and stderr: the engine's messages only
    bool finished = false;              // the pass reached its end and was reported
    std::int64_t verified = -1;         // pool_verified_bytes once no worker is active
    std::int64_t mismatched = -1;       // pool_mismatched_blocks then
    double active_seconds = 0;          // from pool_start until pool_has_active gave false
    double active_after_start = 0;      // the same from the return of pool_start, when
                                        // the last worker has been created
    std::int64_t verified_at_stop = -1; // pool_verified_bytes right after the stop request
    double seconds_after_stop = 0;      // from the stop request until pool_has_active gave false
};

// Runs one pass as PLAN says, with the test pattern of PLAN's block size.
engine_outcome run_engine(const engine_plan& plan);

// "exit status 1; stderr: ...; stdout: ..." for assertion messages.
std::string describe(const engine_outcome& run);

// The block the engine writes in these tests: no byte is 0 and the bytes do
// not repeat within 251, so a block that lands a sector off is seen.
std::vector<unsigned char> test_pattern(std::uint32_t block_size);

// BEFORE with every byte of [start, end) replaced by what the pattern of
// BLOCK_SIZE puts there (blocks start at multiples of BLOCK_SIZE).
struct byte_range {
    std::uint64_t start;
    std::uint64_t end;
};
std::vector<unsigned char> with_pattern(std::vector<unsigned char> before, std::uint32_t block_size,
                                        const std::vector<byte_range>& covered);

// "" when GOT equals WANT, else where they first differ.
std::string first_difference(const std::vector<unsigned char>& got,
                             const std::vector<unsigned char>& want);
