// SPDX-License-Identifier: MIT
// Whole runs of the built binary on scratch loop devices: what lands on the
// device, the single newline on standard output, the progress display and
// how long a pass takes.
#include "support/run_output.h"

#include "program/program_helpers.h"
#include "support/process.h"
#include "support/io_util.h"
#include "support/devices.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t kib = 1024;
constexpr std::uint64_t mib = 1024 * 1024;
constexpr unsigned char old_byte = 0xAA; // what the device held before the run

class RunOnDevice : public testing::Test {
  protected:
    void SetUp() override { REQUIRE_LOOP_DEVICES(); }
};

struct content_case {
    const char* name;
    std::uint64_t image_size;
    unsigned sector_size;
    std::vector<std::string> options; // -b and -w
    std::size_t block_size;           // what -b says
    bool zero;                        // -z
};

void PrintTo(const content_case& c, std::ostream* out) {
    *out << c.name;
}

class RunWrites : public RunOnDevice, public testing::WithParamInterface<content_case> {};

TEST_P(RunWrites, EveryByteOfTheDeviceIsPartOfACopyOfOneBlock) {
    const content_case& c = GetParam();
    scratch_device disk(c.image_size, c.sector_size);
    disk.fill(old_byte);
    std::vector<std::string> args{"-y"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    if (c.zero)
        args.push_back("-z");
    args.push_back(disk.path());
    const child_options options = program_options(60);

    const child_result run = run_platterfell(args, options);

    ASSERT_TRUE(run.exited) << describe_run(run);
    EXPECT_EQ(run.exit_code, 0) << describe_run(run);
    EXPECT_EQ(run.out, "\n");
    EXPECT_GE(run.seconds, 3.0) << "a pass ends only after the workers' pause of 3 seconds";
    const run_stderr parsed = parse_run_stderr(run.err);
    EXPECT_TRUE(progress_fits_run(parsed, 1, static_cast<std::int64_t>(disk.device_size())));
    EXPECT_EQ(escaped(parsed.other_joined()), "") << "nothing but progress lines";
    EXPECT_TRUE(summary_says(parsed.summary, "1 of 1 passes",
                             static_cast<std::int64_t>(parsed.lines.back().megabytes), 0));
    ASSERT_FALSE(parsed.lines.empty()) << describe_run(run);
    // The estimator has no rate before its second sample.
    EXPECT_EQ(parsed.lines.front().eta, "0m 0s");
    EXPECT_EQ(parsed.lines.back().percent, 100) << escaped(parsed.lines.back().text);

    const std::vector<unsigned char> bytes = disk.read_all();
    ASSERT_EQ(bytes.size(), disk.device_size());
    EXPECT_TRUE(holds_copies_of_one_block(bytes, c.block_size, c.zero));
}

INSTANTIATE_TEST_SUITE_P(
    Devices, RunWrites,
    testing::Values(
        content_case{"Zeros512", 1 * mib, 512, {"-b", "4096", "-w", "4"}, 4096, true},
        content_case{"Zeros4096", 2 * mib, 4096, {"-b", "64k", "-w", "3"}, 64 * kib, true},
        content_case{"Random512", 1 * mib, 512, {"-b", "4096", "-w", "4"}, 4096, false},
        content_case{"Random4096", 2 * mib, 4096, {"-b", "4096", "-w", "2"}, 4096, false},
        content_case{
            "RandomSectorSizedBlocks", 512 * kib, 512, {"-b", "512", "-w", "2"}, 512, false},
        content_case{"RandomMegabyteBlocks", 4 * mib, 4096, {"-b", "1m", "-w", "2"}, mib, false},
        // 1,060,864 bytes over 3 workers: the span is raised to 356,352 and
        // the last stripe reaches past the end of the device.
        content_case{"RandomLastStripePastTheEnd",
                     mib + 12 * kib,
                     512,
                     {"-b", "4096", "-w", "3"},
                     4096,
                     false},
        content_case{"ZerosLastStripePastTheEnd",
                     mib + 12 * kib,
                     4096,
                     {"-b", "4096", "-w", "3"},
                     4096,
                     true},
        // The last block of the device is shorter than a block: the write
        // there is short, and the device ends with the block's beginning.
        content_case{
            "RandomShortLastBlock", mib + 512, 512, {"-b", "4096", "-w", "1"}, 4096, false},
        content_case{"RandomShortLastBlock4096",
                     2 * mib + 4 * kib,
                     4096,
                     {"-b", "64k", "-w", "2"},
                     64 * kib,
                     false},
        // More stripes than the device holds: those that begin at or past its
        // end are empty, and the run is as good as any.
        content_case{
            "RandomMoreWorkersThanBlocks", mib, 512, {"-b", "4096", "-w", "300"}, 4096, false},
        content_case{
            "ZerosMegabyteStripesPastTheEnd", 4 * mib, 4096, {"-b", "1m", "-w", "8"}, mib, true},
        // The largest block, 0x7FFFF000 bytes: one write that the device cuts short.
        content_case{
            "ZerosLargestBlock", mib, 4096, {"-b", "2147479552", "-w", "1"}, 2147479552, true}),
    [](const testing::TestParamInfo<content_case>& info) { return std::string(info.param.name); });

class RunPasses : public RunOnDevice, public testing::WithParamInterface<unsigned> {};

TEST_P(RunPasses, ThreePassesDrawTheirLinesInOrderAndTakeThreeSecondsEach) {
    scratch_device disk(4 * mib, GetParam());
    disk.fill(old_byte);
    const child_options options = program_options(90);

    const child_result run =
        run_platterfell({"-y", "-n", "3", "-w", "4", "-b", "64k", disk.path()}, options);

    ASSERT_TRUE(run.exited) << describe_run(run);
    EXPECT_EQ(run.exit_code, 0) << describe_run(run);
    EXPECT_EQ(run.out, "\n");
    EXPECT_GE(run.seconds, 9.0);
    const run_stderr parsed = parse_run_stderr(run.err);
    EXPECT_TRUE(progress_fits_run(parsed, 3, 4 * mib));
    EXPECT_EQ(escaped(parsed.other_joined()), "");
    EXPECT_EQ(parsed.passes_in_order(), (std::vector<int>{1, 2, 3})) << escaped(run.err);
    EXPECT_TRUE(summary_says(parsed.summary, "3 of 3 passes", 12, 0));
    EXPECT_EQ(run.err.find("pass: 4/3"), std::string::npos);
    for (int pass = 1; pass <= 3; ++pass) {
        const std::vector<drawn_line> lines = parsed.lines_of_pass(pass);
        ASSERT_FALSE(lines.empty()) << "pass " << pass;
        EXPECT_EQ(lines.back().percent, 100) << escaped(lines.back().text);
        EXPECT_EQ(lines.back().megabytes, 4) << escaped(lines.back().text);
    }
    ASSERT_FALSE(parsed.lines.empty());
    EXPECT_EQ(parsed.lines.front().eta, "0m 0s");
    EXPECT_TRUE(holds_copies_of_one_block(disk.read_all(), 64 * kib, false));
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, RunPasses, testing::Values(512u, 4096u),
                         [](const testing::TestParamInfo<unsigned>& info) {
                             return "Sector" + std::to_string(info.param);
                         });

// A device that takes 100 ms for every request: 32 blocks of 64 KiB, each a
// write and a read, keep one worker busy for over six seconds a pass.
class RunOnSlowDevice : public testing::TestWithParam<unsigned> {
  protected:
    void SetUp() override { REQUIRE_FAULT_DEVICE(); }
};

TEST_P(RunOnSlowDevice, EachPassStartsFromNothingAndTheEstimateCountsDown) {
    const std::uint64_t size = 2 * mib;
    fault_device disk(size, GetParam());
    disk.write_stored(0, std::vector<unsigned char>(size, old_byte));
    disk.delay(0, size, 100);
    const child_options options = program_options(90);

    const child_result run =
        run_platterfell({"-y", "-n", "2", "-w", "1", "-b", "64k", disk.path()}, options);

    ASSERT_TRUE(run.exited) << describe_run(run);
    EXPECT_EQ(run.exit_code, 0) << describe_run(run);
    EXPECT_EQ(run.out, "\n");
    EXPECT_GE(run.seconds, 6.0);
    const run_stderr parsed = parse_run_stderr(run.err);
    EXPECT_TRUE(progress_fits_run(parsed, 2, size));
    EXPECT_EQ(escaped(parsed.other_joined()), "");
    EXPECT_EQ(parsed.passes_in_order(), (std::vector<int>{1, 2})) << escaped(run.err);
    for (int pass = 1; pass <= 2; ++pass) {
        const std::vector<drawn_line> lines = parsed.lines_of_pass(pass);
        ASSERT_GE(lines.size(), 4u) << "pass " << pass << ": " << escaped(run.err);
        // Drawn at once after the start, before the first block is back.
        EXPECT_EQ(lines.front().text, "pass: " + std::to_string(pass) +
                                          "/2, verified: 0 MB, completed: 0%, ETA: 0m 0s\r");
        EXPECT_EQ(lines.back().text, "pass: " + std::to_string(pass) +
                                         "/2, verified: 2 MB, completed: 100%, ETA: 0m 0s\r");
        bool estimated = false;
        for (const drawn_line& line : lines)
            estimated = estimated || (line.percent < 100 && line.eta != "0m 0s");
        EXPECT_TRUE(estimated) << "no line of pass " << pass
                               << " estimated the time left: " << escaped(run.err);
    }
    EXPECT_TRUE(holds_copies_of_one_block(disk.read_all(), 64 * kib, false));
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, RunOnSlowDevice, testing::Values(512u, 4096u),
                         [](const testing::TestParamInfo<unsigned>& info) {
                             return "Sector" + std::to_string(info.param);
                         });

// 4 GiB at 512 bytes a second (a write and a read of half a second each)
// would take some 2,300 hours: the line must not grow past its field for that.
TEST(RunOnHugeSlowDevice, AnEstimateOfAThousandHoursOrMoreShowsAsMoreThan999h) {
    REQUIRE_FAULT_DEVICE();
    const std::uint64_t size = std::uint64_t{4} << 30;
    fault_device disk(size, 512);
    disk.delay(0, size, 500);
    child_process program(program_command({"-y", "-w", "1", "-b", "512", disk.path()}),
                          program_options());
    const bool shown = program.wait_for_stderr("ETA: >999h\r", 30);
    program.send_signal(SIGINT);
    const child_result run = program.wait(60);

    EXPECT_TRUE(shown) << describe_run(run);
    ASSERT_TRUE(run.exited) << describe_run(run);
    EXPECT_EQ(run.exit_code, 130) << describe_run(run);
    EXPECT_EQ(run.out, "\n");
    const run_stderr parsed = parse_run_stderr(run.err);
    EXPECT_TRUE(progress_fits_run(parsed, 1, static_cast<std::int64_t>(size)));
    EXPECT_EQ(escaped(parsed.other_joined()), escaped("\nAborting...\n"));
    for (const drawn_line& line : parsed.lines)
        EXPECT_TRUE(line.eta == "0m 0s" || line.eta == ">999h") << escaped(line.text);
}

TEST_F(RunOnDevice, YesAtThePromptOnATerminalStartsARealRun) {
    scratch_device disk(1 * mib, 4096);
    disk.fill(old_byte);
    child_options options;
    options.terminal = true;
    child_process run(program_command({"-w", "2", disk.path()}), options);

    ASSERT_TRUE(run.wait_for_stderr("Continue? (y/n):", 10)) << escaped(run.err());
    ASSERT_TRUE(run.wait_for_raw_mode(10));
    run.write_stdin("y");
    EXPECT_TRUE(run.wait_for_stderr("pass: 1/1, verified: ", 20)) << escaped(run.err());
    const child_exit how = run.wait(60);

    ASSERT_TRUE(how.exited) << describe_exit(how) << "; terminal: " << escaped(run.err());
    EXPECT_EQ(how.exit_code, 0) << escaped(run.err());
    EXPECT_EQ(run.out(), "\n");
    EXPECT_NE(run.err().find("completed: 100%, ETA: 0m 0s\r\x1b[2KSummary: 1 of 1 passes, 1 MB "),
              std::string::npos)
        << "the summary replaces the last progress line: " << escaped(run.err());
    EXPECT_TRUE(holds_copies_of_one_block(disk.read_all(), 4096, false));
}

// A reader that goes away, as head does, ends neither the test nor its
// status: the later lines are lost, and the device is still written whole.
TEST_F(RunOnDevice, AReaderThatGoesAwayEndsNeitherTheTestNorItsStatus) {
    scratch_device disk(2 * mib, 512);
    disk.fill(old_byte);
    std::vector<std::string> argv{"bash", "-c",
                                  "set -o pipefail; \"$0\" \"$@\" 2>&1 | head -c 10 >/dev/null"};
    for (const std::string& arg : program_command({"-y", "-n", "2", "-w", "2", disk.path()}))
        argv.push_back(arg);
    const child_result run = run_child(argv, program_options());
    EXPECT_EQ(run.exit_code, 0) << describe_run(run);
    EXPECT_TRUE(holds_copies_of_one_block(disk.read_all(), 4096, false));
}

// Where each descriptor of the running program leads, "" where none.
std::vector<std::string> descriptor_targets(pid_t pid) {
    std::vector<std::string> targets;
    for (int fd = 0; fd < 64; ++fd) {
        char target[256];
        const std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
        const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
        targets.push_back(length > 0 ? std::string(target, static_cast<std::size_t>(length)) : "");
    }
    return targets;
}

// Started with descriptors 0, 1 and 2 closed, the program puts /dev/null in
// their place before it opens the device, so that none of them is the device.
TEST_F(RunOnDevice, ClosedStandardDescriptorsNeverBecomeTheDevice) {
    scratch_device disk(1 * mib, 512);
    disk.fill(old_byte);
    std::vector<std::string> argv{"sh", "-c", "exec \"$0\" \"$@\" <&- >&- 2>&-"};
    for (const std::string& arg : program_command({"-y", "-n", "2", "-w", "2", disk.path()}))
        argv.push_back(arg);
    child_process program(argv, program_options());
    std::vector<std::string> targets;
    for (const double deadline = io_now() + 20; io_now() < deadline; usleep(20000)) {
        targets = descriptor_targets(program.pid());
        if (std::count(targets.begin(), targets.end(), disk.path()) > 0)
            break;
    }
    const child_result run = program.wait(60);

    ASSERT_GT(std::count(targets.begin(), targets.end(), disk.path()), 0)
        << "the device was never seen open";
    for (int fd = 0; fd <= 2; ++fd)
        EXPECT_EQ(targets[static_cast<std::size_t>(fd)], "/dev/null") << "descriptor " << fd;
    EXPECT_EQ(run.exit_code, 0) << describe_run(run);
    EXPECT_TRUE(holds_copies_of_one_block(disk.read_all(), 4096, false));
}

// A link re-pointed to another device while pass 1 runs: the passes after it
// do not follow the link, and the other device keeps every byte.
TEST_F(RunOnDevice, ALinkRepointedDuringTheRunLeavesTheOtherDeviceAlone) {
    scratch_device disk(1 * mib, 512);
    scratch_device other(1 * mib, 512);
    disk.fill(old_byte);
    other.fill(old_byte);
    const scratch_symlink link(disk.path());
    child_process program(program_command({"-y", "-n", "3", "-w", "2", link.path()}),
                          program_options());
    ASSERT_TRUE(program.wait_for_stderr("pass: 1/3", 20)) << escaped(program.err());
    const std::string repointed = link.path() + ".new";
    ASSERT_EQ(symlink(other.path().c_str(), repointed.c_str()), 0);
    ASSERT_EQ(rename(repointed.c_str(), link.path().c_str()), 0);
    const child_result run = program.wait(60);

    EXPECT_EQ(run.exit_code, 1) << describe_run(run);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(escaped(parse_run_stderr(run.err).other_joined()),
              escaped("Error: " + link.path() + " is no longer the device that was checked.\n"));
    EXPECT_TRUE(other.read_all() == std::vector<unsigned char>(1 * mib, old_byte))
        << "the device behind the re-pointed link was written";
}

} // namespace
