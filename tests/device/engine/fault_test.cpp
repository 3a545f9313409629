// SPDX-License-Identifier: MIT
// The engine on a device with injected faults, one table: every kind of
// fault the fault device injects, with 1, 4 and 16 workers and blocks of 512
// bytes and 4 KiB (512-byte sectors) and 64 KiB (4096-byte sectors). Blocks
// that read back wrong are reported by offset and counted while the pass goes
// on; write and read-back errors end the process with their message after the
// line that names the block, ENOSPC before the end of the device among them; a short end and a slow
// zone are taken in the pass's stride. Each case appends its row to soak-results/fault-table.tsv,
// which the soak summary totals per kind.
#include "device/engine/engine_child.h"

#include "support/devices.h"
#include "support/io_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <iterator>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The device holds this before the run: not a byte the test pattern puts at
// the offsets checked against it (the comparison is exact anyway).
constexpr unsigned char untouched_byte = 0xEE;
// Devices of 256 blocks: every worker count of the table divides them, so
// the last stripe is the last 256 / workers blocks.
constexpr std::uint64_t blocks = 256;

enum class fault_kind {
    write_error,       // a write fails with EIO: the process ends with the write message
    read_error,        // a read-back fails with EIO: the process ends with the read message
    flip_byte,         // one byte of two blocks (one the device's last) comes back inverted
    flip_block,        // two whole blocks come back inverted
    drop_write,        // a whole block and one sector of another are never stored
    enospc_mid_stripe, // a write in the last stripe is refused with ENOSPC: storage that
                       // ran out, not the end; the process ends with the write message
    short_end,         // the device ends inside a block: the last write is short
    slow_zone,         // two blocks answer 250 ms late
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

struct table_case {
    fault_kind kind;
    std::uint32_t workers;
    std::uint32_t block_size;
    unsigned sector_size() const { return block_size == 65536 ? 4096 : 512; }
};

void PrintTo(const table_case& c, std::ostream* out) {
    *out << kind_name(c.kind) << ", " << c.workers << " workers, block " << c.block_size;
}

std::string case_name(const testing::TestParamInfo<table_case>& info) {
    return std::string(kind_name(info.param.kind)) + "W" + std::to_string(info.param.workers) +
           "B" + std::to_string(info.param.block_size);
}

// The lines of TEXT, sorted: workers report in any order.
std::vector<std::string> sorted_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line + "\n");
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::string report_at(std::uint64_t offset) {
    return "Error verifying block at offset #: " + std::to_string(offset) + "\n";
}

// The line that names a block whose write or read failed ("writing", "reading").
std::string located(const std::string& doing, std::uint64_t offset) {
    return "Error " + doing + " block at offset #: " + std::to_string(offset) + "\n";
}

std::string describe_how(const engine_outcome& run) {
    if (run.child.timed_out)
        return "timeout";
    if (run.child.exited)
        return "exit " + std::to_string(run.child.exit_code);
    return "signal " + std::to_string(run.child.signal);
}

class EngineFaultTable : public testing::TestWithParam<table_case> {
  protected:
    void SetUp() override { REQUIRE_FAULT_DEVICE(); }
};

TEST_P(EngineFaultTable, ReportsExactlyTheInjectedFaults) {
    const table_case& c = GetParam();
    const std::uint64_t bs = c.block_size;
    std::uint64_t size = blocks * bs;
    if (c.kind == fault_kind::short_end)
        size += bs == 65536 ? 12288 : 1536; // with 512-byte blocks the end meets a block
    // One fault in the first stripe, one in the middle of the last (of the
    // only stripe, further on, with one worker).
    const std::uint64_t last_stripe = (blocks - blocks / c.workers) * bs;
    const std::uint64_t first = 2 * bs;
    const std::uint64_t last = (blocks - 8) * bs;

    fault_device disk(size, c.sector_size());
    const std::vector<unsigned char> before(size, untouched_byte);
    disk.write_stored(0, before);
    std::string message; // the one message that ends the process
    std::vector<std::string> reports;
    std::vector<byte_range> unwritten; // never stored, so as before
    switch (c.kind) {
    case fault_kind::write_error:
        disk.fail_writes(last, last + bs, EIO);
        message = located("writing", last) + "Failed to write data to disk device: " + disk.path() +
                  ": Input/output error\n";
        break;
    case fault_kind::read_error:
        disk.fail_reads(last, last + bs, EIO);
        message = located("reading", last) +
                  "Failed to read back written data on disk device: " + disk.path() +
                  ": Input/output error\n";
        break;
    case fault_kind::flip_byte:
        disk.flip(first + 37, first + 38);
        disk.flip(size - 1, size);
        reports = {report_at(first), report_at(size - bs)};
        break;
    case fault_kind::flip_block:
        disk.flip(first, first + bs);
        disk.flip(last, last + bs);
        reports = {report_at(first), report_at(last)};
        break;
    case fault_kind::drop_write:
        disk.drop_writes(first, first + bs);
        disk.drop_writes(last + bs - c.sector_size(), last + bs);
        reports = {report_at(first), report_at(last)};
        unwritten = {{first, first + bs}, {last + bs - c.sector_size(), last + bs}};
        break;
    case fault_kind::enospc_mid_stripe:
        disk.fail_writes(last, last + bs, ENOSPC);
        message = located("writing", last) + "Failed to write data to disk device: " + disk.path() +
                  ": No space left on device\n";
        break;
    case fault_kind::short_end:
    case fault_kind::slow_zone:
        break;
    }
    if (c.kind == fault_kind::slow_zone)
        disk.delay(last, last + 2 * bs, 250);

    const double started = io_now();
    const engine_outcome run = run_engine(
        {disk.path(), static_cast<std::int64_t>(size), c.sector_size(), c.block_size, c.workers});
    const double seconds = io_now() - started;
    const fault_stats stats = disk.stats();
    const std::vector<unsigned char> stored = disk.read_all();

    // What the daemon saw of the injected faults.
    std::uint64_t injected = 0;
    switch (c.kind) {
    case fault_kind::write_error:
    case fault_kind::enospc_mid_stripe:
        injected = stats.failed_writes;
        EXPECT_EQ(stats.failed_writes, 1u);
        break;
    case fault_kind::read_error:
        injected = stats.failed_reads;
        EXPECT_EQ(stats.failed_reads, 1u);
        break;
    case fault_kind::flip_byte:
        injected = stats.flipped_bytes;
        EXPECT_EQ(stats.flipped_bytes, 2u);
        break;
    case fault_kind::flip_block:
        injected = stats.flipped_bytes / bs;
        EXPECT_EQ(stats.flipped_bytes, 2 * bs);
        break;
    case fault_kind::drop_write:
        injected = 2 * stats.dropped_bytes / (bs + c.sector_size());
        EXPECT_EQ(stats.dropped_bytes, bs + c.sector_size());
        break;
    case fault_kind::short_end:
        // Every byte written once, the short last block included.
        injected = size % bs != 0 ? stats.bytes_written / size : 0;
        EXPECT_EQ(stats.bytes_written, size);
        break;
    case fault_kind::slow_zone:
        injected = stats.delayed;
        EXPECT_GE(stats.delayed, 4u) << "2 writes and 2 reads wait";
        break;
    }

    // Standard error: exactly the expected message or reports.
    std::vector<std::string> expected = reports;
    if (!message.empty())
        expected = sorted_lines(message);
    std::sort(expected.begin(), expected.end());
    const std::vector<std::string> got = sorted_lines(run.child.err);
    std::vector<std::string> matched;
    std::set_intersection(got.begin(), got.end(), expected.begin(), expected.end(),
                          std::back_inserter(matched));
    EXPECT_EQ(got, expected) << describe(run);
    std::ostringstream row;
    row << kind_name(c.kind) << '\t' << bs << '\t' << c.workers << '\t' << injected << '\t'
        << expected.size() << '\t' << matched.size() << '\t' << got.size() - matched.size() << '\t'
        << expected.size() - matched.size() << '\t' << describe_how(run) << '\t' << seconds;
    record_result("fault-table.tsv", row.str());

    if (!message.empty()) {
        EXPECT_FALSE(run.finished) << describe(run);
        EXPECT_EQ(run.child.exit_code, 1) << describe(run);
        if (c.kind == fault_kind::enospc_mid_stripe) {
            // The last stripe holds the pattern up to the refused block and
            // what was there before from it on; the other stripes end
            // wherever the process did.
            const std::vector<unsigned char> want =
                with_pattern(before, c.block_size, {{last_stripe, last}});
            EXPECT_EQ(first_difference(
                          std::vector<unsigned char>(stored.begin() + last_stripe, stored.end()),
                          std::vector<unsigned char>(want.begin() + last_stripe, want.end())),
                      "")
                << "from the last stripe's start, " << last_stripe;
        }
        return;
    }
    ASSERT_TRUE(run.finished) << describe(run);
    EXPECT_EQ(run.child.exit_code, 0) << describe(run);
    EXPECT_EQ(run.mismatched, static_cast<std::int64_t>(reports.size()));
    EXPECT_EQ(run.verified, static_cast<std::int64_t>(size)) << "mismatching blocks count too";
    // The pattern wherever the engine wrote; a dropped range as it was.
    std::vector<byte_range> written;
    std::uint64_t at = 0;
    for (const byte_range& hole : unwritten) {
        written.push_back({at, hole.start});
        at = hole.end;
    }
    written.push_back({at, size});
    EXPECT_EQ(first_difference(stored, with_pattern(before, c.block_size, written)), "");
}

std::vector<table_case> table() {
    std::vector<table_case> cases;
    for (fault_kind kind :
         {fault_kind::write_error, fault_kind::read_error, fault_kind::flip_byte,
          fault_kind::flip_block, fault_kind::drop_write, fault_kind::enospc_mid_stripe,
          fault_kind::short_end, fault_kind::slow_zone})
        for (std::uint32_t workers : {1u, 4u, 16u})
            for (std::uint32_t block_size : {512u, 4096u, 65536u})
                cases.push_back({kind, workers, block_size});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Kinds, EngineFaultTable, testing::ValuesIn(table()), case_name);

// What errors other than EIO come out as: the loop driver passes some on and
// turns others into EIO, and the message shows the system's text for it.
struct error_case {
    const char* name;
    bool on_write;
    unsigned sector_size;
    int error;        // what the fault device answers
    const char* text; // what the engine gets from the loop driver, as text
};

void PrintTo(const error_case& c, std::ostream* out) {
    *out << c.name;
}

class EngineErrorText : public testing::TestWithParam<error_case> {
  protected:
    void SetUp() override { REQUIRE_FAULT_DEVICE(); }
};

TEST_P(EngineErrorText, EndsTheProcessWithTheSystemsText) {
    const error_case& c = GetParam();
    constexpr std::uint64_t mib = 1 << 20;
    fault_device disk(mib, c.sector_size);
    const std::uint64_t bad = mib / 2 + 7 * 4096;
    if (c.on_write)
        disk.fail_writes(bad, bad + 4096, c.error);
    else
        disk.fail_reads(bad, bad + 4096, c.error);

    const engine_outcome run = run_engine({disk.path(), mib, c.sector_size, 4096, 4});

    EXPECT_FALSE(run.finished) << describe(run);
    EXPECT_EQ(run.child.exit_code, 1) << describe(run);
    const std::string what = c.on_write ? "Failed to write data to disk device: "
                                        : "Failed to read back written data on disk device: ";
    EXPECT_EQ(run.child.err, located(c.on_write ? "writing" : "reading", bad) + what + disk.path() +
                                 ": " + c.text + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Errors, EngineErrorText,
    testing::Values(error_case{"WriteEperm", true, 512, EPERM, "Input/output error"},
                    error_case{"WriteEtimedout", true, 4096, ETIMEDOUT, "Connection timed out"},
                    error_case{"ReadEnodata", false, 512, ENODATA, "No data available"}),
    [](const testing::TestParamInfo<error_case>& info) { return std::string(info.param.name); });

} // namespace
