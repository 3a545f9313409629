// SPDX-License-Identifier: MIT
#include "engine/stamp.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

// Two sectors stamped for offset 0x0102030405060708 of pass 2: each begins
// with its own offset and the tag, little-endian; the rest stays.
TEST(Stamp, EverySectorBeginsWithItsOffsetAndTheTag) {
    std::vector<unsigned char> block(1024, 0x5A);
    stamp_tags(block.data(), 1024, 0xA1B2C3D4u, 2);
    stamp_offsets(block.data(), 1024, 0x0102030405060708);
    const std::vector<unsigned char> first{0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,
                                           0xD4, 0xC3, 0xB2, 0xA1, 0x02, 0x00, 0x00, 0x00};
    std::vector<unsigned char> second = first;
    second[1] = 0x09; // 512 bytes further on
    EXPECT_EQ(std::vector<unsigned char>(block.begin(), block.begin() + 16), first);
    EXPECT_EQ(std::vector<unsigned char>(block.begin() + 512, block.begin() + 528), second);
    EXPECT_EQ(block[16], 0x5A);
    EXPECT_EQ(block[1023], 0x5A);

    int64_t offset = 0;
    EXPECT_TRUE(read_stamp(block.data() + 512, 0xA1B2C3D4u, &offset));
    EXPECT_EQ(offset, 0x0102030405060908);
    EXPECT_FALSE(read_stamp(block.data(), 0xA1B2C3D5u, &offset)) << "another run's stamp";
}

// A block read back holds a stamped block when every byte is the pattern's
// or its sector's stamp; a block cut short is checked as far as it goes.
TEST(Stamp, ReadBackHoldsTheStampedBlockOnlyWhenEveryByteAgrees) {
    std::vector<unsigned char> pattern(2048);
    for (size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<unsigned char>(i * 7);
    std::vector<unsigned char> written = pattern;
    stamp_tags(written.data(), 2048, 0xA1B2C3D4u, 3);
    stamp_offsets(written.data(), 2048, 1 << 20);
    const auto holds = [&](const std::vector<unsigned char>& got, size_t length) {
        return holds_stamped_block(got.data(), length, pattern.data(), 1 << 20, 0xA1B2C3D4u, 3);
    };
    EXPECT_TRUE(holds(written, 2048));
    EXPECT_TRUE(holds(written, 1032)) << "cut short inside the third sector's stamp";
    EXPECT_FALSE(holds(pattern, 2048)) << "no stamps";
    for (size_t at : {0u, 520u, 1036u, 1535u, 2047u}) {
        std::vector<unsigned char> got = written;
        got[at] ^= 0x01;
        EXPECT_FALSE(holds(got, 2048)) << "byte " << at << " changed";
    }
    std::vector<unsigned char> moved = written;
    stamp_offsets(moved.data(), 2048, (1 << 20) + 2048);
    EXPECT_FALSE(holds(moved, 2048)) << "the data written 2048 bytes further on";
}

} // namespace
