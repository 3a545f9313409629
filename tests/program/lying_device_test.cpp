// SPDX-License-Identifier: MIT
// Devices that lie, emulated by the fault device: a stuck data line, writes
// dropped after the first pass, a faked capacity whose addresses wrap, and a
// cache that loses what it pushes out. Each must fail the run; a healthy
// device passes -r, and its sectors hold their stamps.
#include "support/run_output.h"

#include "support/devices.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t kib = 1024;
constexpr std::uint64_t size = 4 * kib * kib;

enum class lie { none, stuck_bit, dropped_after_pass_one, wrapping, lossy_cache };

struct lying_case {
    const char* name;
    lie kind;
    unsigned sector_size;
    std::vector<std::string> options; // besides -y -w 4 -b 64k
    int status;
    const char* shown; // what standard error must hold besides progress and summary
};

void PrintTo(const lying_case& c, std::ostream* out) {
    *out << c.name;
}

class LyingDevice : public testing::TestWithParam<lying_case> {
  protected:
    void SetUp() override { REQUIRE_FAULT_DEVICE(); }
};

// The little-endian number of BYTES bytes at AT.
std::uint64_t le_at(const std::vector<unsigned char>& bytes, std::size_t at, int count) {
    std::uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = value << 8 | bytes[at + static_cast<std::size_t>(i)];
    return value;
}

TEST_P(LyingDevice, IsFoundAndAHealthyOneIsNot) {
    const lying_case& c = GetParam();
    fault_device disk(size, c.sector_size);
    switch (c.kind) {
    case lie::none:
        break;
    case lie::stuck_bit:
        disk.stick_bits(0, size, 0x80);
        break;
    case lie::dropped_after_pass_one:
        disk.drop_writes_after(size);
        break;
    case lie::wrapping:
        disk.wrap_at(size / 4);
        break;
    case lie::lossy_cache:
        disk.lying_cache(256 * kib);
        break;
    }
    std::vector<std::string> args{"-y", "-w", "4", "-b", "64k"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back(disk.path());

    disk.reset_stats(); // attaching the loop device flushed it once already
    const child_result run = run_platterfell(args, program_options(120));

    ASSERT_TRUE(run.exited) << describe_run(run);
    EXPECT_EQ(run.exit_code, c.status) << describe_run(run);
    const run_stderr parsed = parse_run_stderr(run.err);
    EXPECT_NE(parsed.other_joined().find(c.shown), std::string::npos) << describe_run(run);
    EXPECT_GE(disk.stats().flushes, 1u) << "the device's cache was never flushed";
    if (c.kind != lie::none)
        return;
    EXPECT_TRUE(summary_says(parsed.summary, "2 of 2 passes, read-back done", 12, 0));
    // Every sector begins with its offset, the run's tag and pass 2.
    const std::vector<unsigned char> bytes = disk.read_all();
    ASSERT_EQ(bytes.size(), size);
    for (std::size_t at = 0; at < size; at += 512) {
        ASSERT_EQ(le_at(bytes, at, 8), at) << "sector at " << at;
        ASSERT_EQ(le_at(bytes, at + 8, 4), le_at(bytes, 8, 4)) << "sector at " << at;
        ASSERT_EQ(le_at(bytes, at + 12, 4), 2u) << "sector at " << at;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lies, LyingDevice,
    testing::Values(
        lying_case{"HealthyReadBack512", lie::none, 512, {"-n", "2", "-r"}, 0, ""},
        lying_case{"HealthyReadBack4096", lie::none, 4096, {"-n", "2", "-r"}, 0, ""},
        // Without -r: the test block sets bit 7 in about half its bytes.
        lying_case{"StuckBit", lie::stuck_bit, 512, {}, 1, "Error verifying block at offset #: "},
        // Pass 2 writes the complement; a device that stores nothing more
        // reads back pass 1's data.
        lying_case{"DroppedAfterPassOne",
                   lie::dropped_after_pass_one,
                   4096,
                   {"-n", "3"},
                   1,
                   "Error verifying block at offset #: "},
        lying_case{"WrappingWithReadBack",
                   lie::wrapping,
                   512,
                   {"-r"},
                   1,
                   " holds the data written at offset #: "},
        lying_case{"LossyCacheWithReadBack",
                   lie::lossy_cache,
                   4096,
                   {"-r"},
                   1,
                   "Error verifying block at offset #: "}),
    [](const testing::TestParamInfo<lying_case>& info) { return std::string(info.param.name); });

} // namespace
