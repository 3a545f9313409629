// SPDX-License-Identifier: MIT
// Blocks that do not read back what was written, on the fault device: each
// is reported by its offset in every pass, the run still goes over every
// pass, and the exit status is 1 at its end.
#include "support/run_output.h"

#include "support/process.h"
#include "support/devices.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr std::uint64_t kib = 1024;
constexpr std::uint64_t mib = 1024 * 1024;
constexpr unsigned char old_byte = 0xAA;

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

std::string report_at(std::uint64_t offset) {
    return "Error verifying block at offset #: " + std::to_string(offset) + "\n";
}

struct flip_case {
    const char* name;
    std::uint64_t size;
    unsigned sector_size;
    std::vector<std::string> options;                           // -b and -w
    std::size_t block_size;                                     // what -b says
    std::vector<std::pair<std::uint64_t, std::uint64_t>> flips; // byte ranges read back inverted
    std::vector<std::uint64_t> offsets;                         // the blocks that do not match
};

void PrintTo(const flip_case& c, std::ostream* out) {
    *out << c.name;
}

class RunMismatch : public testing::TestWithParam<flip_case> {
  protected:
    void SetUp() override { REQUIRE_FAULT_DEVICE(); }
};

TEST_P(RunMismatch, IsReportedInEveryPassAndTheStatusIsOneAfterTheLast) {
    const flip_case& c = GetParam();
    fault_device disk(c.size, c.sector_size);
    disk.write_stored(0, std::vector<unsigned char>(c.size, old_byte));
    for (const auto& range : c.flips)
        disk.flip(range.first, range.second);
    std::vector<std::string> args{"-y", "-n", "2"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back(disk.path());
    const child_options options = program_options(90);

    const child_result run = run_platterfell(args, options);

    ASSERT_TRUE(run.exited) << describe_run(run);
    EXPECT_EQ(run.exit_code, 1) << describe_run(run);
    EXPECT_EQ(run.out, "\n") << "the run reached its end";
    EXPECT_GE(run.seconds, 6.0);
    const run_stderr parsed = parse_run_stderr(run.err);
    EXPECT_TRUE(progress_fits_run(parsed, 2, static_cast<std::int64_t>(c.size)));
    EXPECT_EQ(parsed.passes_in_order(), (std::vector<int>{1, 2})) << escaped(run.err);
    for (int pass = 1; pass <= 2; ++pass) {
        const std::vector<drawn_line> lines = parsed.lines_of_pass(pass);
        ASSERT_FALSE(lines.empty()) << "pass " << pass;
        EXPECT_EQ(lines.back().percent, 100) << escaped(lines.back().text);
    }
    std::vector<std::string> expected;
    for (int pass = 1; pass <= 2; ++pass)
        for (std::uint64_t offset : c.offsets)
            expected.push_back(report_at(offset));
    std::vector<std::string> reports = lines_of(parsed.other_joined());
    EXPECT_TRUE(summary_says(parsed.summary, "2 of 2 passes",
                             static_cast<std::int64_t>(2 * c.size / mib),
                             static_cast<std::int64_t>(expected.size())));
    std::sort(expected.begin(), expected.end());
    std::sort(reports.begin(), reports.end());
    EXPECT_EQ(reports, expected) << escaped(run.err);
    // What was stored is right; only the reading back was corrupted.
    EXPECT_TRUE(holds_copies_of_one_block(disk.read_all(), c.block_size, false));
}

// Through the whole program: every pass reports, the status comes after the
// last. Where a flip lands (each stripe, the device's last block) is the
// engine table's (EngineFaultTable); a flip across two blocks is two reports.
INSTANTIATE_TEST_SUITE_P(FaultDevice, RunMismatch,
                         testing::Values(
                             // Byte 300,000 lies in the block at 73 * 4096.
                             flip_case{"OneByte512",
                                       1 * mib,
                                       512,
                                       {"-b", "4096", "-w", "4"},
                                       4096,
                                       {{300000, 300001}},
                                       {299008}},
                             flip_case{"WholeBlock4096",
                                       2 * mib,
                                       4096,
                                       {"-b", "64k", "-w", "2"},
                                       64 * kib,
                                       {{20 * 64 * kib, 21 * 64 * kib}},
                                       {20 * 64 * kib}},
                             flip_case{"AcrossTwoBlocks",
                                       1 * mib,
                                       512,
                                       {"-b", "4096", "-w", "2"},
                                       4096,
                                       {{8190, 8194}},
                                       {4096, 8192}}),
                         [](const testing::TestParamInfo<flip_case>& info) {
                             return std::string(info.param.name);
                         });

TEST(RunMismatchInterrupted, StatusIsOneAfterAnInterruptToo) {
    REQUIRE_FAULT_DEVICE();
    const std::uint64_t size = 2 * mib;
    fault_device disk(size, 4096);
    disk.write_stored(0, std::vector<unsigned char>(size, old_byte));
    disk.delay(0, size, 100);
    disk.flip(0, 1);
    child_process program(program_command({"-y", "-n", "3", "-w", "2", "-b", "64k", disk.path()}),
                          program_options());
    ASSERT_TRUE(program.wait_for_stderr(report_at(0), 20)) << escaped(program.err());
    // The next line: both workers have had a second to start.
    ASSERT_TRUE(program.wait_for_stderr("pass: 1/3", 20)) << escaped(program.err());
    program.send_signal(SIGINT);
    const child_result run = program.wait(60);

    ASSERT_TRUE(run.exited) << describe_run(run);
    EXPECT_EQ(run.exit_code, 1) << describe_run(run);
    EXPECT_EQ(run.out, "\n");
    const run_stderr parsed = parse_run_stderr(run.err);
    EXPECT_TRUE(progress_fits_run(parsed, 3, size));
    EXPECT_EQ(escaped(parsed.other_joined()), escaped(report_at(0) + "\nAborting...\n"));
    EXPECT_EQ(parsed.passes_in_order(), std::vector<int>{1}) << escaped(run.err);
}

// On a terminal a report first erases the progress line it is written over,
// so that no digits of that longer line stay visible behind it.
TEST(RunMismatchOnTerminal, ErasesTheProgressLineFirst) {
    REQUIRE_FAULT_DEVICE();
    fault_device disk(1 * mib, 512);
    disk.flip(64 * kib, 64 * kib + 1);
    child_options options;
    options.terminal = true;
    child_process run(program_command({"-y", "-w", "1", "-b", "64k", disk.path()}), options);
    const child_exit how = run.wait(60);
    EXPECT_EQ(how.exit_code, 1) << describe_exit(how);
    EXPECT_NE(run.err().find("\x1b[2KError verifying block at offset #: 65536\r\n"),
              std::string::npos)
        << escaped(run.err());
}

} // namespace
