// SPDX-License-Identifier: MIT
// SIGINT sent to the built binary while it runs: the notice, the orderly end
// after the current pass, the newline on standard output and status 130.
#include "support/run_output.h"

#include "support/process.h"
#include "support/devices.h"
#include "support/io_util.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t kib = 1024;
constexpr std::uint64_t mib = 1024 * 1024;
constexpr unsigned char old_byte = 0xAA;
const std::string notice = "\nAborting...\n";

// Each block of BYTES either still holds only OLD_BYTE or is one and
// the same block of test data: a worker never leaves a block half done.
testing::AssertionResult blocks_whole_or_untouched(const std::vector<unsigned char>& bytes,
                                                   std::size_t block_size,
                                                   std::size_t* untouched_blocks) {
    const std::vector<unsigned char> untouched(block_size, old_byte);
    std::vector<unsigned char> written;
    *untouched_blocks = 0;
    for (std::size_t at = 0; at + block_size <= bytes.size(); at += block_size) {
        const std::vector<unsigned char> block(bytes.begin() + at, bytes.begin() + at + block_size);
        if (block == untouched) {
            ++*untouched_blocks;
            continue;
        }
        if (written.empty()) {
            testing::AssertionResult copies = holds_copies_of_one_block(block, block_size, false);
            if (!copies)
                return testing::AssertionFailure()
                       << "block at " << at
                       << " is neither old nor test data: " << copies.message();
            written = block;
        } else if (block != written) {
            return testing::AssertionFailure() << "block at " << at << " differs from the others";
        }
    }
    return testing::AssertionSuccess();
}

// What every interrupted run must show: status 130, the newline, the notice
// COUNT times and nothing else besides progress lines, which stop after the
// notice (one line may already have been on its way) and never reach a pass
// after LAST_PASS.
void expect_orderly_end(const child_result& run, int passes, int last_pass, int notices,
                        std::int64_t disk_size) {
    ASSERT_TRUE(run.exited) << describe_run(run);
    EXPECT_EQ(run.exit_code, 130) << describe_run(run);
    EXPECT_EQ(run.out, "\n");
    const run_stderr parsed = parse_run_stderr(run.err);
    EXPECT_TRUE(progress_fits_run(parsed, passes, disk_size));
    std::string expected;
    for (int i = 0; i < notices; ++i)
        expected += notice;
    EXPECT_EQ(escaped(parsed.other_joined()), escaped(expected));
    EXPECT_TRUE(summary_says(
        parsed.summary, std::to_string(last_pass - 1) + " of " + std::to_string(passes) + " passes",
        -1, 0));
    EXPECT_LE(parsed.lines_after(notice), 1) << escaped(run.err);
    std::vector<int> passes_seen;
    for (int pass = 1; pass <= last_pass; ++pass)
        passes_seen.push_back(pass);
    EXPECT_EQ(parsed.passes_in_order(), passes_seen) << escaped(run.err);
    const std::string next_pass =
        "pass: " + std::to_string(last_pass + 1) + "/" + std::to_string(passes);
    EXPECT_EQ(run.err.find(next_pass), std::string::npos) << escaped(run.err);
}

// Waits for the second line of pass 1: the workers have had a second to
// start, and the pass still has over two seconds of writing ahead. (Under
// ThreadSanitizer and a heavy load, an interrupt sent right at the first
// line was seen never to reach the handler: the runtime defers signals.)
void wait_until_writing(child_process& program) {
    ASSERT_TRUE(program.wait_for_stderr("pass: 1/3", 20)) << escaped(program.err());
    ASSERT_TRUE(program.wait_for_stderr("pass: 1/3", 20)) << escaped(program.err());
}

// 2 MiB taking 100 ms a request: each of two workers needs over three
// seconds for its 16 blocks of 64 KiB.
class InterruptWhileWriting : public testing::TestWithParam<unsigned> {
  protected:
    void SetUp() override { REQUIRE_FAULT_DEVICE(); }

    static constexpr std::uint64_t size = 2 * mib;

    void make_slow(fault_device& disk) {
        disk.write_stored(0, std::vector<unsigned char>(size, old_byte));
        disk.delay(0, size, 100);
    }
};

TEST_P(InterruptWhileWriting, PassOneOfThreeIsTheLast) {
    fault_device disk(size, GetParam());
    make_slow(disk);
    child_process program(program_command({"-y", "-n", "3", "-w", "2", "-b", "64k", disk.path()}),
                          program_options());
    ASSERT_NO_FATAL_FAILURE(wait_until_writing(program));
    program.send_signal(SIGINT);
    const double signalled = io_now();
    const child_result run = program.wait(60);
    const double ending = io_now() - signalled;

    expect_orderly_end(run, 3, 1, 1, size);
    // Each worker ends its block, pauses for 3 seconds, and the main thread
    // sees it at its next poll; three whole passes would take over 18.
    EXPECT_LT(ending, 10.0) << describe_run(run);
    std::size_t untouched = 0;
    EXPECT_TRUE(blocks_whole_or_untouched(disk.read_all(), 64 * kib, &untouched));
    EXPECT_GT(untouched, 0u) << "the workers went on writing after the interrupt";
}

TEST_P(InterruptWhileWriting, TwoInterruptsPrintTheNoticeTwice) {
    fault_device disk(size, GetParam());
    make_slow(disk);
    child_process program(program_command({"-y", "-n", "3", "-w", "2", "-b", "64k", disk.path()}),
                          program_options());
    ASSERT_NO_FATAL_FAILURE(wait_until_writing(program));
    program.send_signal(SIGINT);
    ASSERT_TRUE(program.wait_for_stderr(notice, 10)) << escaped(program.err());
    program.send_signal(SIGINT);
    EXPECT_TRUE(program.wait_for_stderr(notice, 10)) << escaped(program.err());
    const child_result run = program.wait(60);

    expect_orderly_end(run, 3, 1, 2, size);
    std::size_t untouched = 0;
    EXPECT_TRUE(blocks_whole_or_untouched(disk.read_all(), 64 * kib, &untouched));
    EXPECT_GT(untouched, 0u) << "the workers went on writing after the interrupt";
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, InterruptWhileWriting, testing::Values(512u, 4096u),
                         [](const testing::TestParamInfo<unsigned>& info) {
                             return "Sector" + std::to_string(info.param);
                         });

class InterruptInThePause : public testing::Test {
  protected:
    void SetUp() override { REQUIRE_LOOP_DEVICES(); }
};

// Once a line shows 100% every block of the pass is done and the workers
// are in their pause of 3 seconds.
TEST_F(InterruptInThePause, AfterPassOneOfThreeNoFurtherPassStarts) {
    scratch_device disk(4 * mib, 512);
    disk.fill(old_byte);
    child_process program(program_command({"-y", "-n", "3", "-w", "4", disk.path()}),
                          program_options());
    ASSERT_TRUE(program.wait_for_stderr("pass: 1/3, verified: 4 MB, completed: 100%", 20))
        << escaped(program.err());
    program.send_signal(SIGINT);
    const child_result run = program.wait(60);

    expect_orderly_end(run, 3, 1, 1, 4 * mib);
    EXPECT_TRUE(holds_copies_of_one_block(disk.read_all(), 4096, false));
}

// Every block was written and matched, but the user asked to stop: the
// status says the run was interrupted.
TEST_F(InterruptInThePause, OfTheLastPassTheRunEndsAsInterrupted) {
    scratch_device disk(2 * mib, 4096);
    disk.fill(old_byte);
    child_process program(program_command({"-y", "-n", "2", "-w", "2", "-z", disk.path()}),
                          program_options());
    ASSERT_TRUE(program.wait_for_stderr("pass: 2/2", 20)) << escaped(program.err());
    ASSERT_TRUE(program.wait_for_stderr("completed: 100%", 20)) << escaped(program.err());
    program.send_signal(SIGINT);
    const child_result run = program.wait(60);

    expect_orderly_end(run, 2, 2, 1, 2 * mib);
    EXPECT_TRUE(holds_copies_of_one_block(disk.read_all(), 4096, true));
}

} // namespace
