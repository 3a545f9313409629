// SPDX-License-Identifier: MIT
// Offsets past 4 GiB: on a sparse fault device of 8 GiB and 12 KiB with two
// workers, the second stripe starts at 4 GiB + 8 KiB, so a narrowing of any
// size, offset or count to 32 bits would seek, write or report somewhere else.
#include "soak/soak_helpers.h"

#include "support/process.h"
#include "support/devices.h"
#include "support/io_util.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <sstream>
#include <vector>

namespace {

constexpr std::uint64_t gib = 1ull << 30;

// COUNT bytes of the stored disk at OFFSET, read from the daemon's store
// file (no rules apply there).
std::vector<unsigned char> stored_bytes(const fault_device& disk, std::uint64_t offset,
                                        std::size_t count) {
    const std::string path = disk.mount_dir() + "/store";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        io_fail("cannot open", path);
    std::vector<unsigned char> bytes(count);
    const ssize_t got = pread(fd, bytes.data(), count, static_cast<off_t>(offset));
    close(fd);
    if (got != static_cast<ssize_t>(count))
        io_fail("cannot read", path);
    return bytes;
}

TEST(WideOffsets, FlipPastFourGibIsReportedAtItsExactOffset) {
    REQUIRE_FAULT_DEVICE();
    const std::uint64_t size = 8 * gib + 12288;
    // The second stripe starts at (8 GiB + 12 KiB) / 2 raised to 4 KiB:
    // 4,294,975,488; its fourth block at 4,294,987,776.
    const std::uint64_t faulty_block = 4294987776u;
    const std::string report = "Error verifying block at offset #: 4294987776\n";

    const std::vector<std::string> descriptors_before = own_descriptors();
    device_trace trace;
    {
        fault_device disk(size, 512);
        trace = trace_of(disk);
        disk.flip(faulty_block + 100, faulty_block + 101);
        child_process run({platterfell_binary(), "-y", "-w", "2", "-b", "4k", disk.path()});
        ASSERT_TRUE(run.wait_for_stderr(report, 60)) << run.err();
        run.send_signal(SIGINT);
        const child_result result = run.wait(30);

        EXPECT_TRUE(result.exited && result.exit_code == 1) << describe_exit(result);
        EXPECT_EQ(result.out, "\n");
        const run_stderr err = parse_run_stderr(result.err);
        EXPECT_TRUE(err.malformed.empty());
        EXPECT_EQ(err.other_joined(), report + "\nAborting...\n");
        EXPECT_EQ(disk.stats().flipped_bytes, 1u);

        // The stripe's blocks landed at 4 GiB + 8 KiB and on, not 4 GiB lower.
        const std::vector<unsigned char> first_block = stored_bytes(disk, 0, 4096);
        const std::vector<unsigned char> stripe_start = stored_bytes(disk, 4294975488u, 4 * 4096);
        for (std::size_t at = 0; at < stripe_start.size(); ++at)
            ASSERT_EQ(stripe_start[at], first_block[at % 4096]) << "at 4294975488 + " << at;
        EXPECT_EQ(stored_bytes(disk, 4294975488u - 4096, 4096), std::vector<unsigned char>(4096, 0))
            << "the block before the second stripe was written";
        EXPECT_EQ(leftovers_while_attached(trace), "");

        std::ostringstream line;
        line << "Wide offsets: 8 GiB + 12 KiB fault device, -w 2: flip at " << faulty_block
             << " reported as \"" << report.substr(0, report.size() - 1) << "\", status "
             << result.exit_code << ", stdout " << (result.out == "\n" ? "\"\\n\"" : "other");
        record_result("wide-offset.txt", line.str());
    }
    EXPECT_EQ(leftovers_after_teardown(trace), "");
    EXPECT_EQ(own_descriptors(), descriptors_before);
}

} // namespace
