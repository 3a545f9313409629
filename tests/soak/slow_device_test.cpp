// SPDX-License-Identifier: MIT
// A slow and a hung device: while a block takes seconds, the progress line
// is still redrawn once a second, and an interrupt ends the run once the
// block in flight is done (its write and read-back, then the 3-second pause).
#include "soak/soak_helpers.h"

#include "support/process.h"
#include "support/devices.h"
#include "support/io_util.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <vector>

namespace {

constexpr std::uint64_t mib = 1 << 20;

// Arrival times of the progress lines in stderr.
std::vector<double> line_times(const std::string& err, const std::vector<double>& times,
                               const std::vector<std::size_t>& sizes, double started) {
    timed_run view;
    view.times = times;
    view.sizes = sizes;
    view.started = started;
    std::vector<double> when;
    for (const drawn_line& line : parse_run_stderr(err).lines)
        when.push_back(view.arrival(line.at));
    return when;
}

// Longest gap between successive times in [FROM, TO].
double longest_gap(const std::vector<double>& when, double from, double to) {
    double longest = 0;
    for (std::size_t k = 1; k < when.size(); ++k)
        if (when[k - 1] >= from && when[k] <= to)
            longest = std::max(longest, when[k] - when[k - 1]);
    return longest;
}

std::size_t count_between(const std::vector<double>& when, double from, double to) {
    std::size_t count = 0;
    for (double t : when)
        if (t >= from && t <= to)
            ++count;
    return count;
}

TEST(SlowDevice, ProgressGoesOnAndAnInterruptEndsTheRunAfterTheBlockInFlight) {
    REQUIRE_FAULT_DEVICE();
    // Every request waits 2.5 s: a block (write and read-back) takes 5 s.
    const double block_seconds = 5.0;
    device_trace trace;
    {
        fault_device disk(mib, 512);
        trace = trace_of(disk);
        disk.delay(0, mib, 2500);
        const double started = io_now();
        child_process run({platterfell_binary(), "-y", "-w", "2", "-b", "4k", disk.path()});
        std::vector<double> times;
        std::vector<std::size_t> sizes;
        ASSERT_TRUE(run.wait_for_stderr("pass: 1/1", 30)) << run.err();
        ASSERT_TRUE(watch_child(run, 7, times, sizes)) << run.err();
        const std::vector<double> before = line_times(run.err(), times, sizes, started);
        ASSERT_FALSE(before.empty());
        // Lines about 1 s apart for 6.5 s from the first, although no block
        // has finished yet: 7 of them, one or two fewer on a loaded machine;
        // a poll of 2 s would draw 4, with gaps of 2 s.
        const double first_line = before.front();
        const std::size_t drawn = count_between(before, first_line, first_line + 6.5);
        const double gap = longest_gap(before, first_line, first_line + 6.5);
        EXPECT_GE(drawn, 5u);
        EXPECT_LE(drawn, 8u);
        EXPECT_LE(gap, 1.9);

        run.send_signal(SIGINT);
        const double interrupted = io_now();
        watch_child(run, 0.1, times, sizes);
        const fault_stats at_interrupt = disk.stats();
        watch_child(run, 30, times, sizes);
        const child_result result = run.wait(1);
        const double ended = io_now();

        EXPECT_TRUE(result.exited && result.exit_code == 130) << describe_exit(result);
        EXPECT_EQ(result.out, "\n");
        const run_stderr err = parse_run_stderr(result.err);
        EXPECT_TRUE(err.malformed.empty());
        EXPECT_EQ(err.other_joined(), "\nAborting...\n");
        const std::vector<double> all = line_times(result.err, times, sizes, started);
        EXPECT_LE(count_between(all, interrupted + 0.05, ended), 0u)
            << "a progress line was drawn after the notice";
        // The block in flight is finished, then the 3-second pause, then at
        // most one second until the main thread looks again; a loaded
        // machine adds up to 2 s.
        const double took = ended - interrupted;
        EXPECT_GE(took, 3.0);
        EXPECT_LE(took, block_seconds + 3.0 + 1.0 + 2.0);
        const fault_stats after = disk.stats();
        EXPECT_EQ(after.writes, at_interrupt.writes) << "a block was begun after the interrupt";
        EXPECT_EQ(after.failed_writes + after.failed_reads, 0u);
        EXPECT_EQ(leftovers_while_attached(trace), "");

        char line[256];
        std::snprintf(
            line, sizeof line,
            "Slow device (2.5 s per request, 5 s per block, -w 2): %zu progress lines in "
            "6.5 s from the first, longest gap %.2f s; after SIGINT the run ended in %.2f s "
            "(bound %.1f s), status %d, %llu blocks begun in all",
            drawn, gap, took, block_seconds + 6.0, result.exit_code,
            static_cast<unsigned long long>(after.writes));
        record_result("slow-device.txt", line);
    }
    EXPECT_EQ(leftovers_after_teardown(trace), "");
}

TEST(SlowDevice, HungDeviceKeepsTheRunWaitingUntilTheBlockCompletes) {
    REQUIRE_FAULT_DEVICE();
    device_trace trace;
    {
        fault_device disk(mib, 512);
        trace = trace_of(disk);
        disk.delay(0, mib, 120000); // hung: every request waits two minutes
        const double started = io_now();
        child_process run({platterfell_binary(), "-y", "-w", "2", "-b", "4k", disk.path()});
        std::vector<double> times;
        std::vector<std::size_t> sizes;
        ASSERT_TRUE(run.wait_for_stderr("pass: 1/1", 30)) << run.err();
        ASSERT_TRUE(watch_child(run, 3, times, sizes)) << run.err();
        const std::vector<double> drawn = line_times(run.err(), times, sizes, started);
        ASSERT_FALSE(drawn.empty());
        EXPECT_GE(count_between(drawn, drawn.front(), drawn.front() + 2.5), 3u);

        run.send_signal(SIGINT);
        const double interrupted = io_now();
        // The workers cannot finish their blocks: the run waits, drawing nothing.
        EXPECT_TRUE(watch_child(run, 5, times, sizes)) << "the run ended although its blocks hang";
        EXPECT_EQ(count_of(run.err(), "\nAborting...\n"), 1u);
        EXPECT_EQ(count_between(line_times(run.err(), times, sizes, started), interrupted + 0.05,
                                io_now()),
                  0u);

        // The device answers again: the blocks complete, then the pause.
        disk.clear_rules();
        const double released = io_now();
        watch_child(run, 30, times, sizes);
        const child_result result = run.wait(1);
        const double took = io_now() - released;
        EXPECT_TRUE(result.exited && result.exit_code == 130) << describe_exit(result);
        EXPECT_EQ(result.out, "\n");
        EXPECT_EQ(parse_run_stderr(result.err).other_joined(), "\nAborting...\n");
        // (Less than a millisecond of the pause may pass before clear_rules returns.)
        EXPECT_GE(took, 2.9);
        EXPECT_LE(took, 3.0 + 1.0 + 2.0); // the pause, the poll, a loaded machine
        EXPECT_EQ(leftovers_while_attached(trace), "");

        char line[256];
        std::snprintf(
            line, sizeof line,
            "Hung device (requests wait 120 s, -w 2): still running 5 s after SIGINT with "
            "no redraw; once the device answered the run ended in %.2f s, status %d",
            took, result.exit_code);
        record_result("slow-device.txt", line);
    }
    EXPECT_EQ(leftovers_after_teardown(trace), "");
}

} // namespace
