// SPDX-License-Identifier: MIT
// The engine on a device with injected faults: blocks that read back wrong
// are reported by offset and counted while the pass goes on; write and
// read-back errors end the process with their message, ENOSPC before the end
// of the device among them.
#include "device/engine/engine_child.h"

#include "support/fault_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t mib = 1 << 20;
// 1 MiB and 4 workers: stripes of 262,144 bytes at 0, 262,144, 524,288 and 786,432.
constexpr std::uint64_t stripe_bytes = 262144;

// The lines of TEXT, sorted: workers report in any order.
std::vector<std::string> sorted_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line + "\n");
    std::sort(lines.begin(), lines.end());
    return lines;
}

// Whether IMAGE is copies of one block of BLOCK_SIZE bytes that are not all 0.
bool holds_one_block_throughout(const std::vector<unsigned char>& image, std::uint32_t block_size) {
    const auto first = image.begin();
    if (image.size() % block_size != 0 ||
        std::all_of(first, first + block_size, [](unsigned char byte) { return byte == 0; }))
        return false;
    for (std::size_t at = block_size; at < image.size(); at += block_size)
        if (!std::equal(first, first + block_size, first + static_cast<long>(at)))
            return false;
    return true;
}

struct flip_case {
    const char* name;
    unsigned sector_size;
    std::uint32_t block_size;
    std::uint64_t block_offset; // of the flipped block: the 6th of its stripe
};

void PrintTo(const flip_case& c, std::ostream* out) {
    *out << c.name;
}

class EngineFlippedBlock : public testing::TestWithParam<flip_case> {
  protected:
    void SetUp() override { REQUIRE_FAULT_DEVICE(); }
};

TEST_P(EngineFlippedBlock, IsReportedOnceAtItsOffsetAndThePassGoesOn) {
    const flip_case& c = GetParam();
    fault_device disk(mib, c.sector_size);
    disk.flip(c.block_offset + 17, c.block_offset + 18);

    const engine_outcome run = run_engine({disk.path(), mib, c.sector_size, c.block_size, 4});

    ASSERT_TRUE(run.finished) << describe(run);
    EXPECT_EQ(run.child.exit_code, 0) << describe(run);
    EXPECT_EQ(run.child.err,
              "Error verifying block at offset #: " + std::to_string(c.block_offset) + "\n");
    EXPECT_EQ(run.mismatched, 1);
    EXPECT_EQ(run.verified, static_cast<std::int64_t>(mib)) << "the block still counts";
    EXPECT_EQ(first_difference(disk.read_all(), with_pattern(std::vector<unsigned char>(mib),
                                                             c.block_size, {{0, mib}})),
              "")
        << "every block of every stripe is written";
    EXPECT_GE(disk.stats().flipped_bytes, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, EngineFlippedBlock,
    testing::Values(flip_case{"FirstStripeOn512", 512, 512, 2560},
                    flip_case{"LastStripeOn512", 512, 4096, 806912},
                    flip_case{"FirstStripeOn4096", 4096, 4096, 20480},
                    flip_case{"LastStripeOn4096", 4096, 4096, 806912},
                    flip_case{"LastStripeOn4096WithLargeBlocks", 4096, 8192, 827392}),
    [](const testing::TestParamInfo<flip_case>& info) { return std::string(info.param.name); });

struct sector_case {
    const char* name;
    unsigned sector_size;
    std::uint32_t block_size;
};

void PrintTo(const sector_case& c, std::ostream* out) {
    *out << c.name;
}

std::string sector_case_name(const testing::TestParamInfo<sector_case>& info) {
    return info.param.name;
}

const auto sector_cases =
    testing::Values(sector_case{"On512", 512, 4096}, sector_case{"On512WithSectorBlocks", 512, 512},
                    sector_case{"On4096", 4096, 4096});

class EngineFaults : public testing::TestWithParam<sector_case> {
  protected:
    void SetUp() override { REQUIRE_FAULT_DEVICE(); }
};

TEST_P(EngineFaults, CountsEveryFlippedBlock) {
    const sector_case& c = GetParam();
    fault_device disk(mib, c.sector_size);
    // Blocks in stripes 0, 1 and 3; the last is the device's last block.
    const std::uint64_t first = 2 * c.block_size;
    const std::uint64_t second = stripe_bytes + 10 * c.block_size;
    const std::uint64_t third = mib - c.block_size;
    disk.flip(first, first + 1);
    disk.flip(second + 100, second + 101);
    disk.flip(mib - 1, mib);

    const engine_outcome run = run_engine({disk.path(), mib, c.sector_size, c.block_size, 4});

    ASSERT_TRUE(run.finished) << describe(run);
    const std::vector<std::string> want =
        sorted_lines("Error verifying block at offset #: " + std::to_string(first) +
                     "\nError verifying block at offset #: " + std::to_string(second) +
                     "\nError verifying block at offset #: " + std::to_string(third) + "\n");
    EXPECT_EQ(sorted_lines(run.child.err), want);
    EXPECT_EQ(run.mismatched, 3);
    EXPECT_EQ(run.verified, static_cast<std::int64_t>(mib));
}

TEST_P(EngineFaults, CatchesDroppedWrites) {
    const sector_case& c = GetParam();
    fault_device disk(mib, c.sector_size);
    // One sector of a block in stripe 0, and a whole block in stripe 2.
    const std::uint64_t partly = 16 * c.block_size;
    const std::uint64_t whole = 2 * stripe_bytes + 3 * c.block_size;
    disk.drop_writes(partly + c.block_size - c.sector_size, partly + c.block_size);
    disk.drop_writes(whole, whole + c.block_size);

    const engine_outcome run = run_engine({disk.path(), mib, c.sector_size, c.block_size, 4});

    ASSERT_TRUE(run.finished) << describe(run);
    EXPECT_EQ(sorted_lines(run.child.err),
              sorted_lines("Error verifying block at offset #: " + std::to_string(partly) +
                           "\nError verifying block at offset #: " + std::to_string(whole) + "\n"));
    EXPECT_EQ(run.mismatched, 2);
    EXPECT_EQ(run.verified, static_cast<std::int64_t>(mib));
    const std::vector<unsigned char> want =
        with_pattern(std::vector<unsigned char>(mib), c.block_size,
                     {{0, partly + c.block_size - c.sector_size},
                      {partly + c.block_size, whole},
                      {whole + c.block_size, mib}});
    EXPECT_EQ(first_difference(disk.read_all(), want), "");
}

TEST_P(EngineFaults, EnospcBeforeTheEndOfTheDeviceEndsTheProcess) {
    const sector_case& c = GetParam();
    fault_device disk(mib, c.sector_size);
    // The 11th block of stripe 1 is refused as storage that ran out refuses it.
    const std::uint64_t refused = stripe_bytes + 10 * c.block_size;
    disk.fail_writes(refused, refused + c.block_size, ENOSPC);

    const engine_outcome run = run_engine({disk.path(), mib, c.sector_size, c.block_size, 4});

    EXPECT_FALSE(run.finished) << describe(run);
    EXPECT_EQ(run.child.exit_code, 1) << describe(run);
    EXPECT_EQ(run.child.err, "Failed to write data to disk device: " + disk.path() +
                                 ": No space left on device\n");
    // The other stripes end wherever the process did; stripe 1 holds the
    // pattern up to the refused block and nothing from there on.
    const auto stripe_1 = [](const std::vector<unsigned char>& image) {
        return std::vector<unsigned char>(image.begin() + stripe_bytes,
                                          image.begin() + 2 * stripe_bytes);
    };
    EXPECT_EQ(first_difference(stripe_1(disk.read_all()),
                               stripe_1(with_pattern(std::vector<unsigned char>(mib), c.block_size,
                                                     {{stripe_bytes, refused}}))),
              "")
        << "in stripe 1, which begins at " << stripe_bytes;
}

INSTANTIATE_TEST_SUITE_P(Devices, EngineFaults, sector_cases, sector_case_name);

struct error_case {
    const char* name;
    unsigned sector_size;
    int error;        // what the fault device answers
    const char* text; // what the writer gets from the loop driver, as text
};

void PrintTo(const error_case& c, std::ostream* out) {
    *out << c.name;
}

std::string error_case_name(const testing::TestParamInfo<error_case>& info) {
    return info.param.name;
}

class EngineWriteError : public testing::TestWithParam<error_case> {
  protected:
    void SetUp() override { REQUIRE_FAULT_DEVICE(); }
};

TEST_P(EngineWriteError, EndsTheProcessWithTheWriteMessage) {
    const error_case& c = GetParam();
    fault_device disk(mib, c.sector_size);
    const std::uint64_t bad = 2 * stripe_bytes + 7 * 4096;
    disk.fail_writes(bad, bad + 4096, c.error);

    const engine_outcome run = run_engine({disk.path(), mib, c.sector_size, 4096, 4});

    EXPECT_FALSE(run.finished) << describe(run);
    EXPECT_EQ(run.child.exit_code, 1) << describe(run);
    EXPECT_EQ(run.child.err,
              "Failed to write data to disk device: " + disk.path() + ": " + c.text + "\n");
}

INSTANTIATE_TEST_SUITE_P(Devices, EngineWriteError,
                         testing::Values(error_case{"EioOn512", 512, EIO, "Input/output error"},
                                         error_case{"EioOn4096", 4096, EIO, "Input/output error"},
                                         // The loop driver turns EPERM into EIO.
                                         error_case{"EpermOn512", 512, EPERM, "Input/output error"},
                                         error_case{"EtimedoutOn4096", 4096, ETIMEDOUT,
                                                    "Connection timed out"}),
                         error_case_name);

class EngineReadError : public testing::TestWithParam<error_case> {
  protected:
    void SetUp() override { REQUIRE_FAULT_DEVICE(); }
};

TEST_P(EngineReadError, EndsTheProcessWithTheReadBackMessage) {
    const error_case& c = GetParam();
    fault_device disk(mib, c.sector_size);
    const std::uint64_t bad = stripe_bytes + 12 * 4096;
    disk.fail_reads(bad, bad + 4096, c.error);

    const engine_outcome run = run_engine({disk.path(), mib, c.sector_size, 4096, 4});

    EXPECT_FALSE(run.finished) << describe(run);
    EXPECT_EQ(run.child.exit_code, 1) << describe(run);
    EXPECT_EQ(run.child.err, "Failed to read back written data on disk device: " + disk.path() +
                                 ": " + c.text + "\n");
}

INSTANTIATE_TEST_SUITE_P(Devices, EngineReadError,
                         testing::Values(error_case{"EioOn512", 512, EIO, "Input/output error"},
                                         error_case{"EioOn4096", 4096, EIO, "Input/output error"},
                                         error_case{"EnodataOn512", 512, ENODATA,
                                                    "No data available"}),
                         error_case_name);

// The same faults through the program as its users run it.
class ProgramOnFaultyDevice : public testing::Test {
  protected:
    void SetUp() override { REQUIRE_FAULT_DEVICE(); }
};

TEST_F(ProgramOnFaultyDevice, ReportsEveryFlippedBlockAndFailsTheRun) {
    fault_device disk(mib, 4096);
    disk.flip(4096 + 5, 4096 + 6);
    disk.flip(3 * stripe_bytes + 4096 * 20, 3 * stripe_bytes + 4096 * 20 + 1);

    const child_result run = run_platterfell(4, 4096, disk.path());

    EXPECT_EQ(run.exit_code, 1) << describe_exit(run);
    EXPECT_EQ(sorted_lines(without_progress(run.err)),
              sorted_lines("Error verifying block at offset #: 4096\n"
                           "Error verifying block at offset #: 868352\n"));
    EXPECT_EQ(run.out, "\n");
    EXPECT_TRUE(holds_one_block_throughout(disk.read_all(), 4096))
        << "the pass goes on over the whole device";
}

TEST_F(ProgramOnFaultyDevice, WriteErrorEndsTheRun) {
    fault_device disk(mib, 4096);
    disk.fail_writes(stripe_bytes + 4096, stripe_bytes + 8192, EIO);

    const child_result run = run_platterfell(4, 4096, disk.path());

    EXPECT_EQ(run.exit_code, 1) << describe_exit(run);
    EXPECT_EQ(without_progress(run.err),
              "Failed to write data to disk device: " + disk.path() + ": Input/output error\n");
    EXPECT_EQ(run.out, "");
}

TEST_F(ProgramOnFaultyDevice, ReadErrorEndsTheRun) {
    fault_device disk(mib, 512);
    disk.fail_reads(3 * stripe_bytes, 3 * stripe_bytes + 512, EIO);

    const child_result run = run_platterfell(4, 4096, disk.path());

    EXPECT_EQ(run.exit_code, 1) << describe_exit(run);
    EXPECT_EQ(without_progress(run.err), "Failed to read back written data on disk device: " +
                                             disk.path() + ": Input/output error\n");
    EXPECT_EQ(run.out, "");
}

TEST_F(ProgramOnFaultyDevice, EnospcBeforeTheEndOfTheDeviceFailsTheRun) {
    fault_device disk(mib, 512);
    disk.fail_writes(stripe_bytes + 4096, stripe_bytes + 8192, ENOSPC);

    const child_result run = run_platterfell(4, 4096, disk.path());

    EXPECT_EQ(run.exit_code, 1) << describe_exit(run);
    EXPECT_EQ(without_progress(run.err), "Failed to write data to disk device: " + disk.path() +
                                             ": No space left on device\n");
    EXPECT_EQ(run.out, "");
}

} // namespace
