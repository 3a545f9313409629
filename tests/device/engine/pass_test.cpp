// SPDX-License-Identifier: MIT
// One pass of the engine through the pool's interface on real loop devices:
// what the stripes leave on the device, what the pool counts, how the
// workers count themselves out, and how a stop ends them.
#include "device/engine/engine_child.h"

#include "support/devices.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t mib = 1 << 20;
// Every worker pauses this long after its stripe before it counts itself out.
constexpr double pause_seconds = 3.0;
// How much later than the pause the last worker may count out: thread start,
// the last block and polling, with room for a sanitizer build.
constexpr double count_out_slack = 2.5; // a second pause would add 3
// Never in the test pattern, whose bytes are 1 to 251.
constexpr unsigned char old_byte = 0xFF;

struct pass_case {
    const char* name;
    std::uint64_t size;   // of the device
    unsigned sector_size; // of the device
    std::uint32_t block_size;
    std::uint32_t workers;
    std::uint64_t covered; // the stripes cover [0, covered) of the device
};

void PrintTo(const pass_case& c, std::ostream* out) {
    *out << c.name;
}

std::string case_name(const testing::TestParamInfo<pass_case>& info) {
    return info.param.name;
}

class EnginePass : public testing::TestWithParam<pass_case> {
  protected:
    void SetUp() override { REQUIRE_LOOP_DEVICES(); }
};

TEST_P(EnginePass, LeavesThePatternInTheStripesAndCountsTheirBytes) {
    const pass_case& c = GetParam();
    scratch_device disk(c.size, c.sector_size);
    ASSERT_EQ(disk.device_size(), c.size);
    disk.fill(old_byte);

    const engine_outcome run = run_engine(
        {disk.path(), static_cast<std::int64_t>(c.size), c.sector_size, c.block_size, c.workers});

    ASSERT_TRUE(run.finished) << describe(run);
    EXPECT_EQ(run.child.exit_code, 0) << describe(run);
    EXPECT_EQ(run.child.err, "") << "a stripe that meets the end of the device ends silently";
    EXPECT_EQ(run.verified, static_cast<std::int64_t>(c.covered));
    EXPECT_EQ(run.mismatched, 0);
    EXPECT_GE(run.active_seconds, pause_seconds) << "the pause follows the last block";
    const std::vector<unsigned char> want =
        with_pattern(std::vector<unsigned char>(c.size, old_byte), c.block_size, {{0, c.covered}});
    EXPECT_EQ(first_difference(disk.read_all(), want), "");
}

INSTANTIATE_TEST_SUITE_P(
    Devices, EnginePass,
    testing::Values(
        // 4 stripes of 262,144 bytes cover the device exactly.
        pass_case{"ExactStripesOn512", mib, 512, 4096, 4, mib},
        pass_case{"ExactStripesOn4096", mib, 4096, 4096, 4, mib},
        // Span 350,208: the third stripe reaches one block past the end.
        pass_case{"LastStripePastTheEndOn512", mib + 1536, 512, 512, 3, mib + 1536},
        // Span 352,256: the third stripe's last block is a short write of
        // 1,536 bytes, the next write meets the end.
        pass_case{"ShortLastWriteOn512", mib + 1536, 512, 4096, 3, mib + 1536},
        // Span 352,256 of 8,192-byte blocks: a short write of one sector at the end.
        pass_case{"ShortLastWriteOn4096", mib + 4096, 4096, 8192, 3, mib + 4096},
        // Span 352,256: the third stripe's 85th block starts exactly at the end.
        pass_case{"LastStripePastTheEndOn4096", mib, 4096, 4096, 3, mib},
        // Span 4,096: the sixth stripe starts at the end of the device.
        pass_case{"StripeStartsAtTheEndOn4096", 20480, 4096, 4096, 6, 20480},
        // Span 8,192: stripes 6 and 7 start at 49,152 and 57,344, past the end
        // (where a block device refuses a seek): empty, their workers count out.
        pass_case{"StripesStartPastTheEndOn4096", 40960, 4096, 4096, 8, 40960},
        // 266,752 / 520 leaves a quotient of one block and a remainder:
        // span 512, and the last 512 bytes are no stripe's.
        pass_case{"TailOfNoStripeOn512", 266752, 512, 512, 520, 266240}),
    case_name);

struct idle_case {
    const char* name;
    std::uint64_t size; // fewer bytes than workers: no worker has a block
    unsigned sector_size;
    std::uint32_t workers;
};

void PrintTo(const idle_case& c, std::ostream* out) {
    *out << c.name;
}

class EngineWithoutBlocks : public testing::TestWithParam<idle_case> {
  protected:
    void SetUp() override { REQUIRE_LOOP_DEVICES(); }
};

TEST_P(EngineWithoutBlocks, EveryWorkerCountsOutAfterItsPause) {
    const idle_case& c = GetParam();
    scratch_device disk(c.size, c.sector_size);
    ASSERT_EQ(disk.device_size(), c.size);
    if (c.size > 0)
        disk.fill(old_byte);

    const engine_outcome run = run_engine(
        {disk.path(), static_cast<std::int64_t>(c.size), c.sector_size, c.sector_size, c.workers});

    ASSERT_TRUE(run.finished) << describe(run)
                              << " (a worker that never counts out keeps the "
                                 "pass going)";
    EXPECT_EQ(run.child.exit_code, 0) << describe(run);
    EXPECT_EQ(run.child.err, "");
    EXPECT_EQ(run.verified, 0);
    EXPECT_EQ(run.mismatched, 0);
    EXPECT_GE(run.active_seconds, pause_seconds);
    EXPECT_LE(run.active_after_start, pause_seconds + count_out_slack);
    EXPECT_EQ(first_difference(disk.read_all(), std::vector<unsigned char>(c.size, old_byte)), "")
        << "a worker without blocks writes nothing";
}

INSTANTIATE_TEST_SUITE_P(Devices, EngineWithoutBlocks,
                         testing::Values(idle_case{"EmptyDeviceOn512", 0, 512, 3},
                                         idle_case{"EmptyDeviceOn4096", 0, 4096, 3},
                                         idle_case{"OneSectorFor513Workers", 512, 512, 513}),
                         [](const testing::TestParamInfo<idle_case>& info) {
                             return std::string(info.param.name);
                         });

struct stop_case {
    const char* name;
    unsigned sector_size;
    std::uint32_t block_size;
};

void PrintTo(const stop_case& c, std::ostream* out) {
    *out << c.name;
}

std::string stop_case_name(const testing::TestParamInfo<stop_case>& info) {
    return info.param.name;
}

const auto stop_cases =
    testing::Values(stop_case{"On512", 512, 4096}, stop_case{"On4096", 4096, 8192});

class EngineStop : public testing::TestWithParam<stop_case> {
  protected:
    void SetUp() override { REQUIRE_FAULT_DEVICE(); }
};

TEST_P(EngineStop, RequestedBeforeTheStartWritesNothing) {
    const stop_case& c = GetParam();
    fault_device disk(mib, c.sector_size);
    disk.reset_stats();

    engine_plan plan{disk.path(), mib, c.sector_size, c.block_size, 4};
    plan.stop = stop_plan::before_start;
    const engine_outcome run = run_engine(plan);

    ASSERT_TRUE(run.finished) << describe(run);
    EXPECT_EQ(run.child.exit_code, 0) << describe(run);
    EXPECT_EQ(run.child.err, "");
    EXPECT_EQ(run.verified, 0);
    EXPECT_GE(run.active_seconds, pause_seconds) << "every worker still pauses";
    EXPECT_LE(run.active_after_start, pause_seconds + count_out_slack);
    const fault_stats counts = disk.stats();
    EXPECT_EQ(counts.writes, 0u);
    EXPECT_EQ(counts.bytes_written, 0u);
    EXPECT_EQ(first_difference(disk.read_all(), std::vector<unsigned char>(mib, 0)), "");
}

// The length of the run of whole pattern blocks at the start of [start, end)
// of IMAGE; fails the test unless every byte after that run is still 0.
std::uint64_t written_prefix(const std::vector<unsigned char>& image, std::uint64_t start,
                             std::uint64_t end, std::uint32_t block_size) {
    const std::vector<unsigned char> pattern = test_pattern(block_size);
    std::uint64_t at = start;
    while (at + block_size <= end &&
           std::equal(pattern.begin(), pattern.end(), image.begin() + static_cast<long>(at)))
        at += block_size;
    for (std::uint64_t rest = at; rest < end; ++rest)
        if (image[rest] != 0) {
            ADD_FAILURE() << "byte " << rest << " is " << int(image[rest])
                          << " past the written blocks of the stripe at " << start;
            break;
        }
    return at - start;
}

TEST_P(EngineStop, RequestedDuringThePassEndsEveryWorkerAtItsNextBlock) {
    const stop_case& c = GetParam();
    constexpr std::uint64_t size = 2 * mib;
    constexpr std::uint32_t workers = 4;
    fault_device disk(size, c.sector_size);
    disk.delay(0, size, 5); // every request waits 5 ms: the pass takes many seconds
    disk.reset_stats();

    engine_plan plan{disk.path(), size, c.sector_size, c.block_size, workers};
    plan.stop = stop_plan::after_bytes;
    plan.stop_after = 8 * c.block_size;
    const engine_outcome run = run_engine(plan);

    ASSERT_TRUE(run.finished) << describe(run);
    EXPECT_EQ(run.child.exit_code, 0) << describe(run);
    EXPECT_EQ(run.child.err, "");
    EXPECT_GE(run.verified_at_stop, plan.stop_after);
    EXPECT_LE(run.verified - run.verified_at_stop, std::int64_t{workers} * c.block_size)
        << "after the stop, each worker finishes at most the block it is on";
    EXPECT_LT(run.verified, static_cast<std::int64_t>(size / 4)) << "the stop came early";
    EXPECT_GE(run.seconds_after_stop, pause_seconds)
        << "workers stopped in their stripe pause before they count out";
    EXPECT_LE(run.seconds_after_stop, pause_seconds + count_out_slack);
    EXPECT_EQ(disk.stats().bytes_written, static_cast<std::uint64_t>(run.verified))
        << "nothing was written that was not read back and counted";

    // Each stripe holds whole blocks from its start and nothing after them.
    const std::vector<unsigned char> image = disk.read_all();
    const std::uint64_t span = size / workers;
    std::uint64_t written = 0;
    for (std::uint32_t stripe = 0; stripe < workers; ++stripe)
        written += written_prefix(image, stripe * span, (stripe + 1) * span, c.block_size);
    EXPECT_EQ(written, static_cast<std::uint64_t>(run.verified));
}

INSTANTIATE_TEST_SUITE_P(Devices, EngineStop, stop_cases, stop_case_name);

} // namespace
