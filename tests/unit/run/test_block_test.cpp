// SPDX-License-Identifier: MIT
#include "run/test_block.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <ostream>
#include <set>
#include <vector>

namespace {

// Frees what make_test_block gave.
struct block_owner {
    unsigned char* block;
    ~block_owner() { free(block); }
};

TEST(FillRandomPattern, EveryByteValueTurnsUp) {
    std::vector<unsigned char> block(65536, 0xff);
    fill_random_pattern(block.data(), static_cast<uint32_t>(block.size()));
    // 65,536 draws from 256 values: all of them turn up, so every bit is 1
    // somewhere and 0 somewhere.
    EXPECT_EQ(std::set<unsigned char>(block.begin(), block.end()).size(), 256u);
}

TEST(FillRandomPattern, FillsExactlyTheGivenSize) {
    std::vector<unsigned char> block(600, 0xff);
    fill_random_pattern(block.data(), 512);
    EXPECT_GT(std::set<unsigned char>(block.begin(), block.begin() + 512).size(), 64u);
    for (size_t i = 512; i < block.size(); ++i)
        ASSERT_EQ(block[i], 0xff) << "byte " << i << " written past the block";
}

TEST(FillRandomPattern, SizeZeroFillsNothing) {
    std::vector<unsigned char> block(16, 0xff);
    fill_random_pattern(block.data(), 0);
    EXPECT_EQ(block, std::vector<unsigned char>(16, 0xff));
}

TEST(FillRandomPattern, SameSecondGivesTheSameBlock) {
    // Retry when the two fills straddle the turn of a second.
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::vector<unsigned char> first(4096), second(4096);
        time_t before = time(nullptr);
        fill_random_pattern(first.data(), 4096);
        fill_random_pattern(second.data(), 4096);
        if (time(nullptr) != before)
            continue;
        EXPECT_EQ(first, second);
        return;
    }
    FAIL() << "could not fill two blocks within one second";
}

struct block_case {
    uint32_t block_size;
    uint32_t sector_size;
};

void PrintTo(const block_case& c, std::ostream* out) {
    *out << c.block_size << " bytes aligned to " << c.sector_size;
}

class MakeTestBlock : public testing::TestWithParam<block_case> {};

TEST_P(MakeTestBlock, ZeroFillIsAllZeroAndAligned) {
    const block_case& c = GetParam();
    block_owner owner{make_test_block(c.block_size, c.sector_size, true)};
    ASSERT_NE(owner.block, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(owner.block) % c.sector_size, 0u);
    for (uint32_t i = 0; i < c.block_size; ++i)
        ASSERT_EQ(owner.block[i], 0) << "byte " << i;
}

TEST_P(MakeTestBlock, RandomFillVariesAndIsAligned) {
    const block_case& c = GetParam();
    block_owner owner{make_test_block(c.block_size, c.sector_size, false)};
    ASSERT_NE(owner.block, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(owner.block) % c.sector_size, 0u);
    const std::set<unsigned char> seen(owner.block, owner.block + c.block_size);
    EXPECT_GT(seen.size(), 150u) << "the block hardly varies";
}

INSTANTIATE_TEST_SUITE_P(Sizes, MakeTestBlock,
                         testing::Values(block_case{512, 512}, block_case{4096, 512},
                                         block_case{4096, 4096}, block_case{65536, 4096},
                                         block_case{1048576, 4096}));

} // namespace
