// SPDX-License-Identifier: MIT
#include "engine/pool.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <ostream>
#include <vector>

namespace {

struct span_case {
    int64_t total;
    uint32_t block_size;
    uint32_t workers;
    int64_t span;
    int64_t blocks_per_worker;
};

void PrintTo(const span_case& c, std::ostream* out) {
    *out << "total " << c.total << ", block " << c.block_size << ", workers " << c.workers;
}

class SpanPerWorker : public testing::TestWithParam<span_case> {};

TEST_P(SpanPerWorker, GivesTheSpan) {
    const span_case& c = GetParam();
    int64_t span = span_per_worker(c.total, c.block_size, c.workers);
    EXPECT_EQ(span, c.span);
    EXPECT_EQ(span % c.block_size, 0);
    EXPECT_EQ(span / c.block_size, c.blocks_per_worker);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, SpanPerWorker,
    testing::Values(
        // The quotient is already a multiple of the block: the stripes cover the device exactly.
        span_case{16777216, 4096, 4, 4194304, 1024},
        // Raised to the next block: the stripes reach 8,192 bytes past the end.
        span_case{10485760, 4096, 3, 3497984, 854},
        // Fewer bytes than workers: every stripe is empty.
        span_case{3, 4096, 4, 0, 0}, span_case{4095, 4096, 4096, 0, 0},
        // The truncated quotient is a whole block: the last 3 bytes are left out.
        span_case{16387, 4096, 4, 4096, 1},
        // One worker on a device smaller than a block gets one whole block.
        span_case{100, 4096, 1, 4096, 1}, span_case{1, 512, 1, 512, 1},
        // Stripes that start at or past the end of the device.
        span_case{40960, 4096, 8, 8192, 2},
        // One stripe, one worker.
        span_case{1048576, 512, 1, 1048576, 2048}));

// Values computed independently, at the edges of the accepted ranges.
INSTANTIATE_TEST_SUITE_P(
    LargeValues, SpanPerWorker,
    testing::Values(span_case{2147483647, 2147483647, 1, 2147483647, 1},
                    span_case{1, 2147483647, 1, 2147483647, 1},
                    span_case{2147483647, 2147483647, 2147483647, 2147483647, 1},
                    span_case{2147483646, 2147483647, 2147483647, 0, 0},
                    span_case{4611686018427387904, 2147483647, 2147483647, 4294967294, 2},
                    span_case{4611686018427387904, 2147483647, 1, 4611686020574871550, 2147483650},
                    span_case{9223372036854775807, 2147483647, 2147483647, 6442450941, 3},
                    span_case{9223372036854775807, 512, 2147483647, 4294967808, 8388609},
                    span_case{9223372036854775807, 2147483647, 2, 4611686018427387903, 2147483649},
                    span_case{4611686018427387905, 4096, 1, 4611686018427392000, 1125899906842625},
                    span_case{1000000000000, 2147483647, 3, 335007448932, 156}));

// Over the whole range of block sizes and worker counts the span is the
// truncated quotient raised to the next multiple of the block size: never
// negative, never below the quotient, less than one block above it. Built
// with -fsanitize=undefined any signed overflow inside fails the test.
TEST(SpanPerWorkerInvariants, HoldForBlockSizesAndCountsUpToTheLargest) {
    const std::vector<uint32_t> block_sizes{1, 512, 4096, 65535, 1048576, 2147483136, 2147483647};
    const std::vector<uint32_t> worker_counts{1, 2, 3, 7, 1000, 65536, 2147483646, 2147483647};
    const std::vector<int64_t> totals{1,
                                      511,
                                      4095,
                                      16387,
                                      10485760,
                                      1000000000000,
                                      1099511627779,
                                      2147483647,
                                      2147483648,
                                      4611686018427387904,
                                      4611686018427400001,
                                      std::numeric_limits<int64_t>::max() - 1,
                                      std::numeric_limits<int64_t>::max()};
    for (uint32_t block : block_sizes) {
        for (uint32_t workers : worker_counts) {
            for (int64_t total : totals) {
                // A device within a block of 2^63 bytes on one worker has no
                // raised span that fits; that corner has its own test.
                int64_t quotient = total / workers;
                if (quotient > std::numeric_limits<int64_t>::max() - block)
                    continue;
                int64_t span = span_per_worker(total, block, workers);
                SCOPED_TRACE(testing::Message() << "total " << total << ", block " << block
                                                << ", workers " << workers);
                ASSERT_GE(span, 0);
                ASSERT_EQ(span % block, 0);
                ASSERT_GE(span, quotient);
                ASSERT_LT(span - quotient, static_cast<int64_t>(block));
            }
        }
    }
}

TEST(SpanPerWorkerInvariants, NearlyFullRangeOnOneWorkerStaysAMultiple) {
    const int64_t total = std::numeric_limits<int64_t>::max();
    for (uint32_t block : {4096u, 2147483647u}) {
        int64_t span = span_per_worker(total, block, 1);
        EXPECT_GE(span, 0) << "block " << block;
        EXPECT_EQ(span % block, 0) << "block " << block;
    }
}

} // namespace
