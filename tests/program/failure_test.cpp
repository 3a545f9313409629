// SPDX-License-Identifier: MIT
// Runs that fail: a write error from the device, and thread or memory calls
// made to fail by the preloaded library. Each ends with its message, status 1
// and nothing on standard output.
#include "support/run_output.h"

#include "engine/pool.h"
#include "program/program_helpers.h"
#include "support/process.h"
#include "support/devices.h"
#include "support/io_util.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t kib = 1024;
constexpr std::uint64_t mib = 1024 * 1024;
constexpr unsigned char old_byte = 0xAA;

struct write_error_case {
    const char* name;
    unsigned sector_size;
    int error;
    const char* error_text; // how the system names it
};

void PrintTo(const write_error_case& c, std::ostream* out) {
    *out << c.name;
}

class RunWriteError : public testing::TestWithParam<write_error_case> {
  protected:
    void SetUp() override { REQUIRE_FAULT_DEVICE(); }
};

TEST_P(RunWriteError, EndsTheRunWithItsMessageAndNothingOnStandardOutput) {
    const write_error_case& c = GetParam();
    const std::uint64_t size = 4 * mib;
    fault_device disk(size, c.sector_size);
    disk.write_stored(0, std::vector<unsigned char>(size, old_byte));
    // The middle of the first of two stripes.
    disk.fail_writes(mib, mib + 64 * kib, c.error);
    const child_options options = program_options(60);

    const child_result run =
        run_platterfell({"-y", "-n", "2", "-w", "2", "-b", "64k", disk.path()}, options);

    ASSERT_TRUE(run.exited) << describe_run(run);
    EXPECT_EQ(run.exit_code, 1) << describe_run(run);
    EXPECT_EQ(run.out, "");
    const run_stderr parsed = parse_run_stderr(run.err);
    EXPECT_TRUE(progress_fits_run(parsed, 2, size));
    EXPECT_EQ(escaped(parsed.other_joined()),
              escaped("Error writing block at offset #: 1048576\nFailed to write data to disk "
                      "device: " +
                      disk.path() + ": " + c.error_text + "\n"));
    EXPECT_EQ(run.err.find("pass: 2/2"), std::string::npos) << escaped(run.err);
    // The blocks before the failing one were written and verified.
    const std::vector<unsigned char> stored = disk.read_all();
    EXPECT_TRUE(holds_copies_of_one_block(
        std::vector<unsigned char>(stored.begin(), stored.begin() + mib), 64 * kib, false));
}

INSTANTIATE_TEST_SUITE_P(FaultDevice, RunWriteError,
                         // One error through the whole program; which errors and texts come out of
                         // which faults is the engine tables' (EngineFaultTable, EngineErrorText).
                         testing::Values(write_error_case{"Io4096", 4096, EIO,
                                                          "Input/output error"}),
                         [](const testing::TestParamInfo<write_error_case>& info) {
                             return std::string(info.param.name);
                         });

// What the run must have done before the failing call.
enum class before_failure {
    nothing,           // no progress line, the device untouched
    untouched,         // a first progress line may be drawn; the device untouched
    workers_may_write, // started workers may have drawn a line and written blocks
    pass_one,          // pass 1 went over the whole device, pass 2 drew nothing
    pass_one_then_one, // the same, but pass 2 may have drawn its first line and
                       // written blocks of its complement
};

struct preload_case {
    const char* name;
    const char* call; // FAIL_CALL
    int at;           // FAIL_AT: which call of it fails, counting from 1
    std::vector<std::string> options;
    const char* message;
    before_failure before;
};

// The -n value among OPTIONS, 1 without it.
int passes_in(const std::vector<std::string>& options) {
    for (std::size_t i = 0; i + 1 < options.size(); ++i)
        if (options[i] == "-n")
            return std::stoi(options[i + 1]);
    return 1;
}

void PrintTo(const preload_case& c, std::ostream* out) {
    *out << c.name;
}

class RunStartFailure : public testing::TestWithParam<preload_case> {
  protected:
    void SetUp() override {
        REQUIRE_LOOP_DEVICES();
        if (access(preload_library(), R_OK) != 0)
            GTEST_FAIL() << "preload library missing: " << preload_library();
    }
};

TEST_P(RunStartFailure, EndsWithItsMessageAndStatusOne) {
    const preload_case& c = GetParam();
    const std::uint64_t size = 1 * mib;
    scratch_device disk(size, 4096);
    disk.fill(old_byte);
    const std::string report = scratch_name("fail-report", ".txt");
    child_options options = program_options(60);
    for (const std::string& entry :
         {std::string("LD_PRELOAD=") + preload_library(), std::string("FAIL_CALL=") + c.call,
          "FAIL_AT=" + std::to_string(c.at), "FAIL_REPORT=" + report})
        options.env.push_back(entry);
    std::vector<std::string> args{"-y"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back(disk.path());

    const child_result run = run_platterfell(args, options);
    const std::string failed = io_read_text_or_empty(report);
    unlink(report.c_str());

    if (failed.empty() && !sanitizer_build().empty())
        GTEST_SKIP() << "the preloaded library did not get to fail " << c.call
                     << ": in this sanitizer build the runtime's own " << c.call
                     << " takes the call first; " << describe_run(run);
    EXPECT_EQ(failed, std::string(c.call) + " " + std::to_string(c.at) + "\n")
        << "the planned call was not the one that failed";
    ASSERT_TRUE(run.exited) << describe_run(run);
    EXPECT_EQ(run.exit_code, 1) << describe_run(run);
    EXPECT_EQ(run.out, "");
    const run_stderr parsed = parse_run_stderr(run.err);
    EXPECT_TRUE(progress_fits_run(parsed, passes_in(c.options), size));
    std::string message = c.message;
    const std::size_t device_at = message.find("DEVICE");
    if (device_at != std::string::npos)
        message.replace(device_at, 6, disk.path());
    EXPECT_EQ(escaped(parsed.other_joined()), escaped(message));
    const std::vector<unsigned char> bytes = disk.read_all();
    switch (c.before) {
    case before_failure::nothing:
        EXPECT_TRUE(parsed.lines.empty()) << escaped(run.err);
        EXPECT_EQ(count_of_byte(bytes, old_byte), bytes.size()) << "the device was written";
        break;
    case before_failure::untouched:
        EXPECT_LE(parsed.lines.size(), 1u) << escaped(run.err);
        EXPECT_EQ(count_of_byte(bytes, old_byte), bytes.size()) << "the device was written";
        break;
    case before_failure::workers_may_write:
        break;
    case before_failure::pass_one:
    case before_failure::pass_one_then_one: {
        const std::vector<drawn_line> first = parsed.lines_of_pass(1);
        ASSERT_FALSE(first.empty()) << escaped(run.err);
        EXPECT_EQ(first.back().percent, 100) << escaped(run.err);
        EXPECT_EQ(parsed.lines_of_pass(2).size(),
                  c.before == before_failure::pass_one ? 0u : parsed.lines.size() - first.size())
            << escaped(run.err);
        EXPECT_LE(parsed.lines.size() - first.size(), 1u) << escaped(run.err);
        if (c.before == before_failure::pass_one) {
            EXPECT_TRUE(holds_copies_of_one_block(bytes, 4096, false));
            break;
        }
        // A worker of pass 2 that started before the failure ended the
        // process may have written a block or two of its complement.
        std::vector<unsigned char> pass_one(bytes.begin(), bytes.begin() + 4096);
        std::vector<unsigned char> pass_two = pass_one;
        for (unsigned char& byte : pass_two)
            byte = static_cast<unsigned char>(~byte);
        for (std::size_t at = 0; at < bytes.size(); at += 4096) {
            const std::vector<unsigned char> block(bytes.begin() + at, bytes.begin() + at + 4096);
            ASSERT_TRUE(block == pass_one || block == pass_two) << "block at " << at;
        }
        EXPECT_TRUE(holds_copies_of_one_block(pass_one, 4096, false));
        break;
    }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Preloaded, RunStartFailure,
    testing::Values(preload_case{"FirstWorkerThread",
                                 "pthread_create",
                                 1,
                                 {"-w", "4"},
                                 "Error starting workers: Resource temporarily unavailable\n",
                                 before_failure::nothing},
                    // Two workers already run when the third cannot be started.
                    preload_case{"ThirdWorkerThread",
                                 "pthread_create",
                                 3,
                                 {"-w", "4"},
                                 "Error starting workers: Resource temporarily unavailable\n",
                                 before_failure::workers_may_write},
                    preload_case{"FirstWorkerThreadOfPassTwo",
                                 "pthread_create",
                                 3,
                                 {"-w", "2", "-n", "2"},
                                 "Error starting workers: Resource temporarily unavailable\n",
                                 before_failure::pass_one},
                    preload_case{"ThreadAttributes",
                                 "pthread_attr_init",
                                 1,
                                 {"-w", "2"},
                                 "Error initializing workers: Cannot allocate memory\n",
                                 before_failure::nothing},
                    preload_case{"DetachedState",
                                 "pthread_attr_setdetachstate",
                                 1,
                                 {"-w", "2"},
                                 "Error initializing workers: Invalid argument\n",
                                 before_failure::nothing},
                    preload_case{"TestBlock",
                                 "posix_memalign",
                                 1,
                                 {"-w", "2"},
                                 "No free memory to allocate.\n",
                                 before_failure::nothing},
                    // The only worker's read-back buffer: it fails before its first write.
                    preload_case{"ReadBackBuffer",
                                 "posix_memalign",
                                 2,
                                 {"-w", "1"},
                                 "No free memory to allocate.\n",
                                 before_failure::untouched},
                    // Calls 2 and 3 are the buffers of pass 1, call 4 the first of pass 2.
                    preload_case{"ReadBackBufferOfPassTwo",
                                 "posix_memalign",
                                 4,
                                 {"-w", "2", "-n", "2"},
                                 "No free memory to allocate.\n",
                                 before_failure::pass_one_then_one},
                    // The flush after the last pass; DEVICE stands for the device's path.
                    preload_case{
                        "Flush",
                        "fsync",
                        1,
                        {"-w", "2"},
                        "Failed to flush data to disk device: DEVICE: Input/output error\n",
                        before_failure::pass_one}),
    [](const testing::TestParamInfo<preload_case>& info) { return std::string(info.param.name); });

// A loop device over a file on a 4 MiB tmpfs: its storage runs out a quarter
// of the way in. Out of space before the device's end is a failed write, not
// the end of the stripe, and the block is named.
TEST(RunOnFullBackingStore, FailsWithTheWriteMessage) {
    REQUIRE_LOOP_DEVICES();
    const scratch_mount store("platterfell-test", "tmpfs", "size=4m");
    const std::string image = store.dir() + "/image";
    const int fd = open(image.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    const bool sized = ftruncate(fd, 16 * mib) == 0;
    close(fd);
    ASSERT_TRUE(sized);
    {
        const loop_device disk(image, 512, false);
        const child_result run = run_platterfell({"-y", "-w", "1", "-b", "64k", disk.path()});
        EXPECT_EQ(run.exit_code, 1) << describe_run(run);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(escaped(parse_run_stderr(run.err).other_joined()),
                  escaped("Error writing block at offset #: 4194304\n"
                          "Failed to write data to disk device: " +
                          disk.path() + ": No space left on device\n"));
    }
    unlink(image.c_str());
}

// A worker count whose tables fit the address space but whose threads do
// not: the tables are touched only as far as threads start, and the run ends
// with the thread library's message, not killed for its memory.
TEST(RunWithTooManyWorkers, EndsWithAMessageUnderAnAddressSpaceLimit) {
    REQUIRE_LOOP_DEVICES();
    if (!sanitizer_build().empty())
        GTEST_SKIP() << "the sanitizers' shadow memory does not fit under an address-space limit";
    scratch_device disk(1 * mib, 512);
    const std::uint64_t workers = 1000000000;
    // The two tables (a thread handle and a start record per worker) and a
    // gibibyte: room for a hundred thread stacks or so.
    const std::uint64_t limit = workers * (sizeof(pthread_t) + sizeof(worker_slot)) + 1024 * mib;
    std::vector<std::string> argv{"prlimit", "--as=" + std::to_string(limit)};
    for (const std::string& arg :
         program_command({"-y", "-w", std::to_string(workers), disk.path()}))
        argv.push_back(arg);
    const child_result run = run_child(argv, program_options());
    EXPECT_EQ(run.exit_code, 1) << describe_run(run);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(escaped(parse_run_stderr(run.err).other_joined()),
              escaped("Error starting workers: Resource temporarily unavailable\n"));
}

} // namespace
