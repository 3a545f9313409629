// SPDX-License-Identifier: MIT
// The fault matrix: every kind of fault the fault device can inject, with 1,
// 4 and 16 workers, block sizes of 512 bytes and 4 KiB (on 512-byte-sector
// devices) and 64 KiB (on a 4096-byte-sector device), in one pass, and in two
// for one combination per block size. Each run must report exactly the
// injected faults (each mismatching block once per pass, nothing else), end
// with the right status, standard output and message, and leave no process,
// loop device, mount or descriptor behind. Each case appends its row to
// soak-results/fault-matrix.tsv, which the soak summary totals per kind.
#include "soak/soak_helpers.h"

#include "support/child.h"
#include "support/device_gate.h"
#include "support/fault_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

enum class fault_kind {
    write_error,       // a write fails with EIO: the run ends with the write message
    read_error,        // a read-back fails with EIO: the run ends with the read message
    flip_byte,         // one byte of two blocks comes back inverted
    flip_block,        // two whole blocks come back inverted
    drop_write,        // a whole block and one sector of another are never stored
    enospc_mid_stripe, // a write in the middle of the last stripe is refused with ENOSPC:
                       // storage that ran out, not the end; the run ends with the write message
    short_end,         // the device ends inside a block: the last write is short
    slow_zone,         // two blocks answer 250 ms late
};

struct matrix_case {
    fault_kind kind;
    std::uint32_t block;
    std::uint32_t workers;
    std::uint32_t passes;
};

const char* kind_name(fault_kind kind) {
    switch (kind) {
    case fault_kind::write_error:
        return "WriteError";
    case fault_kind::read_error:
        return "ReadError";
    case fault_kind::flip_byte:
        return "FlipByte";
    case fault_kind::flip_block:
        return "FlipBlock";
    case fault_kind::drop_write:
        return "DropWrite";
    case fault_kind::enospc_mid_stripe:
        return "EnospcMidStripe";
    case fault_kind::short_end:
        return "ShortEnd";
    case fault_kind::slow_zone:
        return "SlowZone";
    }
    return "Unknown";
}

std::string block_option(std::uint32_t block) {
    return block >= 1024 ? std::to_string(block / 1024) + "k" : std::to_string(block);
}

std::string describe_how(const child_result& result) {
    if (result.timed_out)
        return "timeout";
    if (result.exited)
        return "exit " + std::to_string(result.exit_code);
    return "signal " + std::to_string(result.signal);
}

// How a case shows in test listings.
void PrintTo(const matrix_case& c, std::ostream* out) {
    *out << kind_name(c.kind) << ", block " << c.block << ", workers " << c.workers << ", passes "
         << c.passes;
}

class FaultMatrix : public ::testing::TestWithParam<matrix_case> {};

TEST_P(FaultMatrix, ReportsExactlyTheInjectedFaults) {
    REQUIRE_FAULT_DEVICE();
    const matrix_case c = GetParam();
    const fault_kind kind = c.kind;
    const std::uint32_t bs = c.block;
    const unsigned sector = bs == 65536 ? 4096 : 512;
    // 256 blocks; the short end adds a few sectors that do not fill a block
    // (with 512-byte blocks they do, and the last stripe meets the end
    // exactly or with ENOSPC instead).
    std::uint64_t size = 256ull * bs;
    if (kind == fault_kind::short_end)
        size += bs == 65536 ? 12288 : 1536;
    const std::uint64_t span = stripe_span(size, bs, c.workers);
    const std::uint64_t per_stripe = span / bs;
    ASSERT_LE((c.workers - 1) * span, size) << "a stripe would start past the end of the device";
    ASSERT_GE(c.workers * span, size) << "the stripes would leave the end of the device unwritten";
    // One fault in the first stripe, one in the middle of the last (of the
    // only stripe, further on, with one worker).
    const std::uint64_t first = 2ull * bs;
    const std::uint64_t last = (c.workers - 1) * span + (per_stripe / 2) * bs;
    ASSERT_NE(first, last);

    const std::vector<std::string> descriptors_before = own_descriptors();
    device_trace trace;
    timed_run run;
    std::vector<std::string> expected; // lines of stderr other than progress lines
    std::uint64_t injected = 0;
    bool fatal = false;
    {
        fault_device disk(size, sector);
        trace = trace_of(disk);
        disk.write_stored(0, std::vector<unsigned char>(size, untouched_byte));
        const std::string report = "Error verifying block at offset #: ";
        switch (kind) {
        case fault_kind::write_error:
            disk.fail_writes(last, last + bs, EIO);
            expected.push_back("Failed to write data to disk device: " + disk.path() +
                               ": Input/output error\n");
            fatal = true;
            break;
        case fault_kind::read_error:
            disk.fail_reads(last, last + bs, EIO);
            expected.push_back("Failed to read back written data on disk device: " + disk.path() +
                               ": Input/output error\n");
            fatal = true;
            break;
        case fault_kind::flip_byte:
            disk.flip(first + 37, first + 38);
            disk.flip(last + bs - 1, last + bs);
            break;
        case fault_kind::flip_block:
            disk.flip(first, first + bs);
            disk.flip(last, last + bs);
            break;
        case fault_kind::drop_write:
            disk.drop_writes(first, first + bs);
            disk.drop_writes(last + bs - 512, last + bs);
            break;
        case fault_kind::enospc_mid_stripe:
            disk.fail_writes(last, last + bs, ENOSPC);
            expected.push_back("Failed to write data to disk device: " + disk.path() +
                               ": No space left on device\n");
            fatal = true;
            break;
        case fault_kind::short_end:
            break;
        case fault_kind::slow_zone:
            disk.delay(last, last + 2ull * bs, 250);
            break;
        }
        const bool mismatches = kind == fault_kind::flip_byte || kind == fault_kind::flip_block ||
                                kind == fault_kind::drop_write;
        if (mismatches)
            for (std::uint32_t pass = 0; pass < c.passes; ++pass)
                for (std::uint64_t offset : {first, last})
                    expected.push_back(report + std::to_string(offset) + "\n");

        run = run_timed({platterfell_binary(), "-y", "-w", std::to_string(c.workers), "-b",
                         block_option(bs), "-n", std::to_string(c.passes), disk.path()},
                        120);
        const child_result& result = run.result;
        const fault_stats stats = disk.stats();

        // What the daemon saw of the injected faults.
        switch (kind) {
        case fault_kind::write_error:
            injected = stats.failed_writes;
            EXPECT_EQ(stats.failed_writes, 1u);
            break;
        case fault_kind::read_error:
            injected = stats.failed_reads;
            EXPECT_EQ(stats.failed_reads, 1u);
            break;
        case fault_kind::flip_byte:
            injected = stats.flipped_bytes;
            EXPECT_EQ(stats.flipped_bytes, 2u * c.passes);
            break;
        case fault_kind::flip_block:
            injected = stats.flipped_bytes / bs;
            EXPECT_EQ(stats.flipped_bytes, 2ull * bs * c.passes);
            break;
        case fault_kind::drop_write:
            injected = 2 * stats.dropped_bytes / (bs + 512);
            EXPECT_EQ(stats.dropped_bytes, (bs + 512ull) * c.passes);
            break;
        case fault_kind::enospc_mid_stripe:
            injected = stats.failed_writes;
            EXPECT_EQ(stats.failed_writes, 1u);
            break;
        case fault_kind::short_end:
            // Every pass wrote every byte once, the short last block included
            // (with 512-byte blocks there is none: the last stripe meets the
            // end of the device exactly or with ENOSPC).
            injected = size % bs != 0 ? stats.bytes_written / size : 0;
            EXPECT_EQ(stats.bytes_written, size * c.passes);
            break;
        case fault_kind::slow_zone:
            injected = stats.delayed;
            EXPECT_GE(stats.delayed, 4u * c.passes) << "2 writes and 2 reads per pass wait";
            break;
        }

        // Standard error: progress lines of the exact format, and exactly
        // the expected reports or message besides.
        const parsed_stderr err = parse_stderr(result.err);
        EXPECT_EQ(err.malformed, "");
        std::vector<std::string> reported = split_lines(err.other());
        std::vector<std::string> sorted_expected = expected;
        std::sort(reported.begin(), reported.end());
        std::sort(sorted_expected.begin(), sorted_expected.end());
        std::vector<std::string> matched;
        std::set_intersection(reported.begin(), reported.end(), sorted_expected.begin(),
                              sorted_expected.end(), std::back_inserter(matched));
        const std::size_t false_reports = reported.size() - matched.size();
        const std::size_t missed = sorted_expected.size() - matched.size();
        EXPECT_EQ(reported, sorted_expected) << "stderr: " << result.err;

        std::ostringstream row;
        row << kind_name(kind) << '\t' << bs << '\t' << c.workers << '\t' << c.passes << '\t'
            << injected << '\t' << sorted_expected.size() << '\t' << matched.size() << '\t'
            << false_reports << '\t' << missed << '\t' << describe_how(result) << '\t'
            << result.seconds;
        record_result("fault-matrix.tsv", row.str());

        if (fatal) {
            EXPECT_TRUE(result.exited && result.exit_code == 1) << describe_exit(result);
            EXPECT_EQ(result.out, "");
            if (kind == fault_kind::enospc_mid_stripe) {
                // The last stripe holds the test block up to the refused
                // block and what was there before from it on; the other
                // stripes end wherever the process did.
                const std::vector<unsigned char> stored = disk.read_all();
                const std::uint64_t stripe = (c.workers - 1) * span;
                const std::vector<unsigned char> block(stored.begin() + stripe,
                                                       stored.begin() + stripe + bs);
                EXPECT_TRUE(std::all_of(block.begin(), block.end(),
                                        [](unsigned char b) { return b < 128; }));
                EXPECT_EQ(first_difference(stored, stripe, last, block), -1);
                EXPECT_TRUE(std::all_of(stored.begin() + last, stored.end(),
                                        [](unsigned char b) { return b == untouched_byte; }))
                    << "bytes from " << last << " on were written";
            }
        } else {
            EXPECT_TRUE(result.exited && result.exit_code == (mismatches ? 1 : 0))
                << describe_exit(result);
            EXPECT_EQ(result.out, "\n");
            // Every pass ran and showed its final count last.
            std::map<unsigned, progress_line> last_of_pass;
            unsigned previous = 0;
            for (const progress_line& line : err.lines) {
                EXPECT_EQ(line.passes, c.passes);
                EXPECT_GE(line.pass, previous);
                previous = line.pass;
                last_of_pass[line.pass] = line;
            }
            ASSERT_EQ(last_of_pass.size(), c.passes) << result.err;
            for (const auto& [pass, line] : last_of_pass) {
                EXPECT_EQ(line.megabytes, static_cast<std::int64_t>(size / 1048576))
                    << "pass " << pass;
                EXPECT_EQ(line.percent, 100) << "pass " << pass;
            }
            // Each mismatching block once per pass: a report belongs to the
            // pass whose first line came last before it (a worker may report
            // just before the main thread draws that first line; passes are
            // at least 3 seconds apart).
            if (mismatches) {
                std::map<unsigned, double> pass_start;
                for (const progress_line& line : err.lines)
                    if (pass_start.count(line.pass) == 0)
                        pass_start[line.pass] = run.arrival(line.at);
                std::map<unsigned, std::vector<std::string>> by_pass;
                for (const stderr_text& piece : err.texts) {
                    const double when = run.arrival(piece.at);
                    unsigned pass = 1;
                    for (const auto& [number, start] : pass_start)
                        if (start - 1.0 <= when)
                            pass = number;
                    for (const std::string& line : split_lines(piece.text))
                        by_pass[pass].push_back(line);
                }
                std::vector<std::string> one_pass = {report + std::to_string(first) + "\n",
                                                     report + std::to_string(last) + "\n"};
                std::sort(one_pass.begin(), one_pass.end());
                for (std::uint32_t pass = 1; pass <= c.passes; ++pass) {
                    std::sort(by_pass[pass].begin(), by_pass[pass].end());
                    EXPECT_EQ(by_pass[pass], one_pass) << "pass " << pass;
                }
            }

            // The device holds the test block wherever the run wrote; a
            // dropped range holds what was there before.
            const std::vector<unsigned char> stored = disk.read_all();
            const std::vector<unsigned char> block(stored.begin() + bs, stored.begin() + 2 * bs);
            EXPECT_TRUE(
                std::all_of(block.begin(), block.end(), [](unsigned char b) { return b < 128; }));
            std::vector<std::pair<std::uint64_t, std::uint64_t>> kept;
            if (kind == fault_kind::drop_write)
                kept = {{first, first + bs}, {last + bs - 512, last + bs}};
            std::uint64_t at = 0;
            for (const auto& [from, to] : kept) {
                EXPECT_EQ(first_difference(stored, at, from, block), -1);
                EXPECT_TRUE(std::all_of(stored.begin() + from, stored.begin() + to,
                                        [](unsigned char b) { return b == untouched_byte; }))
                    << "bytes " << from << " to " << to << " were written";
                at = to;
            }
            EXPECT_EQ(first_difference(stored, at, size, block), -1);
        }
        EXPECT_EQ(leftovers_while_attached(trace), "");
    }
    EXPECT_EQ(leftovers_after_teardown(trace), "");
    EXPECT_EQ(own_descriptors(), descriptors_before);
}

std::vector<matrix_case> cases_of(fault_kind kind) {
    std::vector<matrix_case> cases;
    for (std::uint32_t block : {512u, 4096u, 65536u})
        for (std::uint32_t workers : {1u, 4u, 16u})
            cases.push_back(matrix_case{kind, block, workers, 1});
    // Two passes for one combination per block size.
    cases.push_back(matrix_case{kind, 512, 16, 2});
    cases.push_back(matrix_case{kind, 4096, 4, 2});
    cases.push_back(matrix_case{kind, 65536, 1, 2});
    return cases;
}

std::string case_name(const ::testing::TestParamInfo<matrix_case>& info) {
    const matrix_case& c = info.param;
    return std::string(kind_name(c.kind)) + "B" + std::to_string(c.block) + "W" +
           std::to_string(c.workers) + "N" + std::to_string(c.passes);
}

INSTANTIATE_TEST_SUITE_P(WriteError, FaultMatrix,
                         ::testing::ValuesIn(cases_of(fault_kind::write_error)), case_name);
INSTANTIATE_TEST_SUITE_P(ReadError, FaultMatrix,
                         ::testing::ValuesIn(cases_of(fault_kind::read_error)), case_name);
INSTANTIATE_TEST_SUITE_P(FlipByte, FaultMatrix,
                         ::testing::ValuesIn(cases_of(fault_kind::flip_byte)), case_name);
INSTANTIATE_TEST_SUITE_P(FlipBlock, FaultMatrix,
                         ::testing::ValuesIn(cases_of(fault_kind::flip_block)), case_name);
INSTANTIATE_TEST_SUITE_P(DropWrite, FaultMatrix,
                         ::testing::ValuesIn(cases_of(fault_kind::drop_write)), case_name);
INSTANTIATE_TEST_SUITE_P(EnospcMidStripe, FaultMatrix,
                         ::testing::ValuesIn(cases_of(fault_kind::enospc_mid_stripe)), case_name);
INSTANTIATE_TEST_SUITE_P(ShortEnd, FaultMatrix,
                         ::testing::ValuesIn(cases_of(fault_kind::short_end)), case_name);
INSTANTIATE_TEST_SUITE_P(SlowZone, FaultMatrix,
                         ::testing::ValuesIn(cases_of(fault_kind::slow_zone)), case_name);

} // namespace
