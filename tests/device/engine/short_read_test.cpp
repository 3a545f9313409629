// SPDX-License-Identifier: MIT
// A read-back that gives fewer bytes than were written: the block is
// reported and counted as not matching, and the stripe goes on in step.
// The call-failing library shortens one read of a single worker.
#include "device/engine/engine_child.h"

#include "support/process.h"
#include "support/io_util.h"
#include "support/devices.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t device_size = 65536;
// Never in the test pattern, whose bytes are 1 to 251.
constexpr unsigned char old_byte = 0xFF;

struct short_case {
    const char* name;
    unsigned sector_size;
    std::uint32_t block_size;
    long short_bytes;    // what the shortened read gives
    long read_number;    // which read of the process is shortened, from 1
    std::uint64_t block; // the offset of the block whose read-back it is
};

void PrintTo(const short_case& c, std::ostream* out) {
    *out << c.name;
}

// The environment that preloads the call-failing library, with the
// sanitizer runtime of this build, if any, put before it.
std::vector<std::string> preload_env() {
    std::vector<std::string> env = {std::string("LD_PRELOAD=") + preload_library()};
#if defined(__SANITIZE_ADDRESS__)
    const char* options = std::getenv("ASAN_OPTIONS");
    env.push_back(std::string("ASAN_OPTIONS=") + (options != nullptr ? options : "") +
                  (options != nullptr && *options != '\0' ? ":" : "") + "verify_asan_link_order=0");
#endif
    return env;
}

class EngineShortReadBack : public testing::TestWithParam<short_case> {
  protected:
    void SetUp() override {
        REQUIRE_LOOP_DEVICES();
        if (access(preload_library(), R_OK) != 0)
            GTEST_FAIL() << "preload library missing: " << preload_library();
    }
};

TEST_P(EngineShortReadBack, IsReportedAndTheNextBlockLandsInPlace) {
    const short_case& c = GetParam();
    scratch_device disk(device_size, c.sector_size);
    disk.fill(old_byte);
    const std::string report = scratch_name("short-read", ".txt");

    engine_plan plan(disk.path(), device_size, c.sector_size, c.block_size, 1);
    plan.env = preload_env();
    plan.env.push_back("FAIL_CALL=read");
    plan.env.push_back("FAIL_AT=" + std::to_string(c.read_number));
    plan.env.push_back("FAIL_SHORT=" + std::to_string(c.short_bytes));
    plan.env.push_back("FAIL_REPORT=" + report);
    const engine_outcome run = run_engine(plan);
    const std::string shortened = io_read_text_or_empty(report);
    unlink(report.c_str());

    ASSERT_TRUE(run.finished) << describe(run);
    EXPECT_EQ(shortened, "read " + std::to_string(c.read_number) + "\n")
        << "the chosen read was shortened";
    EXPECT_EQ(run.child.exit_code, 0) << describe(run);
    EXPECT_EQ(run.child.err,
              "Error verifying block at offset #: " + std::to_string(c.block) + "\n");
    EXPECT_EQ(run.mismatched, 1);
    EXPECT_EQ(run.verified, static_cast<std::int64_t>(device_size))
        << "the block's written bytes count";
    EXPECT_EQ(first_difference(disk.read_all(),
                               with_pattern(std::vector<unsigned char>(device_size, old_byte),
                                            c.block_size, {{0, device_size}})),
              "")
        << "every block after the short read-back is written at its own offset";
}

INSTANTIATE_TEST_SUITE_P(Devices, EngineShortReadBack,
                         testing::Values(short_case{"HalfABlockOn512", 512, 4096, 2048, 3, 8192},
                                         short_case{"OneSectorOn4096", 4096, 8192, 4096, 2, 8192},
                                         short_case{"NothingOn512", 512, 4096, 0, 5, 16384}),
                         [](const testing::TestParamInfo<short_case>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
