// SPDX-License-Identifier: MIT
// Load: 256 workers on 64 MiB (64 blocks per stripe, fewer than the workers),
// three passes in a row on a tiny device, and 1 MiB blocks with 16 workers on 1 GiB in
// memory. Each must end with the right status, one newline on standard
// output, and the test block in every byte of the device.
#include "soak/soak_helpers.h"

#include "support/process.h"
#include "support/devices.h"
#include "support/io_util.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t mib = 1 << 20;

// Every line parses, shows PASSES as the total, and the pass numbers run
// from 1 to PASSES in order; gives the last line.
drawn_line check_lines(const run_stderr& err, int passes) {
    EXPECT_TRUE(err.malformed.empty());
    int expected_pass = 1;
    for (const drawn_line& line : err.lines) {
        EXPECT_EQ(line.passes, passes);
        if (line.pass == expected_pass + 1)
            ++expected_pass;
        EXPECT_EQ(line.pass, expected_pass) << "passes out of order";
    }
    EXPECT_EQ(expected_pass, passes) << "not every pass drew a line";
    return err.lines.empty() ? drawn_line{} : err.lines.back();
}

child_options within(double seconds) {
    child_options options;
    options.timeout_seconds = seconds;
    return options;
}

void record_load(const char* what, const child_result& result, const std::string& content) {
    char line[256];
    std::snprintf(line, sizeof line, "Load: %s: status %d, stdout %s, device %s, %.1f s", what,
                  result.exited ? result.exit_code : -1, result.out == "\n" ? "\"\\n\"" : "other",
                  content.empty() ? "holds the test block throughout" : "WRONG", result.seconds);
    record_result("load.txt", line);
}

TEST(Load, TwoHundredFiftySixWorkersOnSixtyFourMib) {
    REQUIRE_LOOP_DEVICES();
    scratch_device disk(64 * mib, 512);
    disk.fill(untouched_byte);
    const child_result result =
        run_child({platterfell_binary(), "-y", "-w", "256", disk.path()}, within(120));
    EXPECT_TRUE(result.exited && result.exit_code == 0) << describe_exit(result);
    EXPECT_EQ(result.out, "\n");
    const run_stderr err = parse_run_stderr(result.err);
    EXPECT_EQ(err.other_joined(), "");
    const drawn_line last = check_lines(err, 1);
    EXPECT_EQ(last.megabytes, 64);
    EXPECT_EQ(last.percent, 100);
    const std::string content = check_uniform_blocks(disk.path(), 64 * mib, 4096, 255, false);
    EXPECT_EQ(content, "");
    record_load("256 workers, 64 MiB, 4 KiB blocks", result, content);
}

TEST(Load, ThreePassesOnATinyDevice) {
    REQUIRE_LOOP_DEVICES();
    scratch_device disk(64 * 1024, 512);
    disk.fill(0xAA);
    const child_result result = run_child(
        {platterfell_binary(), "-y", "-z", "-w", "2", "-n", "3", disk.path()}, within(120));
    EXPECT_TRUE(result.exited && result.exit_code == 0) << describe_exit(result);
    EXPECT_EQ(result.out, "\n");
    const run_stderr err = parse_run_stderr(result.err);
    EXPECT_EQ(err.other_joined(), "");
    const drawn_line last = check_lines(err, 3);
    EXPECT_EQ(last.percent, 100);
    // Each pass ends with the workers' 3-second pause.
    EXPECT_GE(result.seconds, 9.0);
    const std::string content = check_uniform_blocks(disk.path(), 64 * 1024, 4096, 0, true);
    EXPECT_EQ(content, "");
    record_load("3 passes, 64 KiB, -z, 2 workers", result, content);
}

TEST(Load, OneMibBlocksWithSixteenWorkersOnOneGib) {
    REQUIRE_LOOP_DEVICES();
    const std::uint64_t size = 1024 * mib;
    scratch_device disk(size, 512); // a sparse image in /dev/shm
    const child_result result =
        run_child({platterfell_binary(), "-y", "-b", "1m", "-w", "16", disk.path()}, within(200));
    EXPECT_TRUE(result.exited && result.exit_code == 0) << describe_exit(result);
    EXPECT_EQ(result.out, "\n");
    const run_stderr err = parse_run_stderr(result.err);
    EXPECT_EQ(err.other_joined(), "");
    const drawn_line last = check_lines(err, 1);
    EXPECT_EQ(last.megabytes, 1024);
    EXPECT_EQ(last.percent, 100);
    // The image started as zeros; 1 MiB of test data is not all zero.
    const std::string content = check_uniform_blocks(disk.path(), size, 1 << 20, 255, false);
    EXPECT_EQ(content, "");
    record_load("1 MiB blocks, 16 workers, 1 GiB in /dev/shm", result, content);
}

} // namespace
