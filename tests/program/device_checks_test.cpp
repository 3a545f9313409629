// SPDX-License-Identifier: MIT
// The start-up checks of the built program on real scratch loop devices of
// 512- and 4096-byte sectors: what passes reaches the prompt (declined here at
// the end of standard input, the device untouched), what fails gets its exact
// message on standard error, nothing on standard output, and status 1.
#include "program/program_helpers.h"

#include "support/process.h"
#include "support/devices.h"
#include "support/io_util.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr unsigned fill_byte = 0x5a;

class LoopStartup : public testing::TestWithParam<unsigned> {
  protected:
    unsigned sector() const { return GetParam(); }

    // A 1 MiB device of the parameter's sector size, full of fill_byte.
    scratch_device& filled_device() {
        disk_ = std::make_unique<scratch_device>(1 << 20, sector());
        disk_->fill(fill_byte);
        return *disk_;
    }

    void expect_untouched() {
        ASSERT_TRUE(disk_);
        EXPECT_TRUE(disk_->read_all() == bytes_of(1 << 20, fill_byte))
            << "the device was written to";
    }

    // The device passed every check: it was named as PATH (its own when
    // empty), the prompt came, and end of input (stdin is /dev/null) left it
    // unanswered.
    void expect_declined_at_prompt(const child_result& run, const std::string& path = "") {
        ASSERT_TRUE(disk_);
        EXPECT_EQ(run.err, expected_device_line(*disk_, path) + expected_prompt + "\n");
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(run.exited) << describe_exit(run);
        EXPECT_EQ(run.exit_code, 1) << describe_exit(run);
    }

    static void expect_failure(const child_result& run, const std::string& message) {
        EXPECT_EQ(run.err, message);
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(run.exited) << describe_exit(run);
        EXPECT_EQ(run.exit_code, 1) << describe_exit(run);
    }

    std::unique_ptr<scratch_device> disk_;
};

TEST_P(LoopStartup, DefaultsPassEveryCheck) {
    REQUIRE_LOOP_DEVICES();
    scratch_device& disk = filled_device();
    expect_declined_at_prompt(run_platterfell({disk.path()}));
    expect_untouched();
}

TEST_P(LoopStartup, BlockSizeEqualToTheSectorSizePasses) {
    REQUIRE_LOOP_DEVICES();
    scratch_device& disk = filled_device();
    expect_declined_at_prompt(run_platterfell({"-b", std::to_string(sector()), disk.path()}));
    expect_untouched();
}

TEST_P(LoopStartup, SymlinkToTheDevicePasses) {
    REQUIRE_LOOP_DEVICES();
    scratch_device& disk = filled_device();
    const scratch_symlink link(disk.path());
    expect_declined_at_prompt(run_platterfell({link.path()}), link.path());
    expect_untouched();
}

// blockdev --setro for as long as the record lives. The flag belongs to the
// block device and detaching the loop device does not clear it, so it is
// cleared here before the device goes back to the system.
class read_only_flag {
  public:
    explicit read_only_flag(const std::string& path) : path_(path) {
        const child_result set = run_child({"blockdev", "--setro", path_});
        if (set.exit_code != 0)
            throw std::runtime_error("blockdev --setro failed: " + describe_exit(set));
    }
    ~read_only_flag() { run_child({"blockdev", "--setrw", path_}); }
    read_only_flag(const read_only_flag&) = delete;
    read_only_flag& operator=(const read_only_flag&) = delete;

  private:
    std::string path_;
};

// Refused before the question: the write open alone would not tell.
TEST_P(LoopStartup, ReadOnlyDeviceIsRefused) {
    REQUIRE_LOOP_DEVICES();
    scratch_device& disk = filled_device();
    {
        const read_only_flag read_only(disk.path());
        expect_failure(run_platterfell({disk.path()}),
                       "Error: " + disk.path() + " is read-only.\n");
    }
    expect_untouched();
}

TEST_P(LoopStartup, EmptyDeviceHasNoSize) {
    REQUIRE_LOOP_DEVICES();
    scratch_device disk(0, sector());
    expect_failure(run_platterfell({"-y", disk.path()}),
                   "Can't get disk size from the device: " + disk.path() + ": Invalid argument\n");
    // The message names the path as typed.
    const scratch_symlink link(disk.path());
    expect_failure(run_platterfell({"-y", link.path()}),
                   "Can't get disk size from the device: " + link.path() + ": Invalid argument\n");
}

TEST_P(LoopStartup, DeviceTheUserCannotOpen) {
    REQUIRE_LOOP_DEVICES();
    scratch_device& disk = filled_device();
    child_options as_nobody;
    as_nobody.as_nobody = true;
    expect_failure(run_platterfell({"-y", disk.path()}, as_nobody),
                   "Can't open device: " + disk.path() + ": Permission denied\n");
    expect_untouched();
}

// The sector-size request never fails on a block device the kernel gives us:
// the preload library makes it fail.
TEST_P(LoopStartup, SectorSizeRequestFails) {
    REQUIRE_LOOP_DEVICES();
    ASSERT_EQ(access(preload_library(), R_OK), 0) << "preload library missing";
    scratch_device& disk = filled_device();
    const std::string report = scratch_name("fail-report", ".txt");
    child_options options;
    options.env = {std::string("LD_PRELOAD=") + preload_library(), "FAIL_CALL=ioctl",
                   "FAIL_MATCH=0x1268" /* BLKSSZGET */, "FAIL_ERRNO=5", "FAIL_REPORT=" + report};
    expect_failure(run_platterfell({"-y", disk.path()}, options),
                   "Can't get sector size of the device: " + disk.path() +
                       ": Input/output error\n");
    EXPECT_EQ(io_read_text_or_empty(report), "ioctl 1\n");
    unlink(report.c_str());
    expect_untouched();
}

// The size query opens the device a second time; only a race could make that
// open fail where the first worked, so the preload library fails it.
TEST_P(LoopStartup, SecondOpenFails) {
    REQUIRE_LOOP_DEVICES();
    ASSERT_EQ(access(preload_library(), R_OK), 0) << "preload library missing";
    scratch_device& disk = filled_device();
    const std::string report = scratch_name("fail-report", ".txt");
    child_options options;
    options.env = {std::string("LD_PRELOAD=") + preload_library(),
                   "FAIL_CALL=open",
                   "FAIL_MATCH=" + disk.path(),
                   "FAIL_AT=2",
                   "FAIL_ERRNO=24",
                   "FAIL_REPORT=" + report};
    expect_failure(run_platterfell({"-y", disk.path()}, options),
                   "Can't open device: " + disk.path() + ": Too many open files\n");
    EXPECT_EQ(io_read_text_or_empty(report), "open 2\n");
    unlink(report.c_str());
    expect_untouched();
}

// The exclusive open that follows the size query fails for a reason other
// than the device being in use.
TEST_P(LoopStartup, ExclusiveOpenFailsOtherwise) {
    REQUIRE_LOOP_DEVICES();
    ASSERT_EQ(access(preload_library(), R_OK), 0) << "preload library missing";
    scratch_device& disk = filled_device();
    const std::string report = scratch_name("fail-report", ".txt");
    child_options options;
    options.env = {std::string("LD_PRELOAD=") + preload_library(),
                   "FAIL_CALL=open",
                   "FAIL_MATCH=" + disk.path(),
                   "FAIL_AT=3",
                   "FAIL_ERRNO=13",
                   "FAIL_REPORT=" + report};
    expect_failure(run_platterfell({"-y", disk.path()}, options),
                   "Can't open device: " + disk.path() + ": Permission denied\n");
    EXPECT_EQ(io_read_text_or_empty(report), "open 3\n");
    unlink(report.c_str());
    expect_untouched();
}

// With -y no question is asked and the run starts at once.
TEST_P(LoopStartup, YesSkipsThePrompt) {
    REQUIRE_LOOP_DEVICES();
    scratch_device& disk = filled_device();
    const child_result run = run_platterfell({"-y", "-z", disk.path()});
    EXPECT_EQ(run.err.find("WARNING"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("Continue?"), std::string::npos) << run.err;
    // The device is named before the first pass all the same.
    EXPECT_EQ(run.err.substr(0, run.err.find('\n') + 1), expected_device_line(disk))
        << escaped(run.err);
    EXPECT_EQ(run.out, "\n");
    EXPECT_EQ(run.exit_code, 0) << describe_exit(run);
    EXPECT_TRUE(disk.read_all() == bytes_of(1 << 20, 0)) << "-z did not zero the device";
}

INSTANTIATE_TEST_SUITE_P(Sectors, LoopStartup, testing::Values(512u, 4096u),
                         [](const testing::TestParamInfo<unsigned>& info) {
                             return "Sector" + std::to_string(info.param);
                         });

// A block size below the sector size, or no multiple of it, on a device with
// 4096-byte sectors.
struct block_case {
    const char* value;
    std::string message;
};

void PrintTo(const block_case& c, std::ostream* out) {
    *out << "-b " << c.value;
}

class UnfitBlockSize : public testing::TestWithParam<block_case> {};

TEST_P(UnfitBlockSize, IsRefusedWithTheSectorSize) {
    REQUIRE_LOOP_DEVICES();
    scratch_device disk(1 << 20, 4096);
    disk.fill(fill_byte);
    const child_result run = run_platterfell({"-y", "-b", GetParam().value, disk.path()});
    EXPECT_EQ(run.err, GetParam().message);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.exit_code, 1) << describe_exit(run);
    EXPECT_TRUE(disk.read_all() == bytes_of(1 << 20, fill_byte)) << "the device was written to";
}

const std::string below_sector =
    "The block size can't be less than the disk's sector size (4096).\n";
const std::string not_sector_multiple =
    "The block size must be a multiple of the disk's sector size (4096).\n";

INSTANTIATE_TEST_SUITE_P(Sector4096, UnfitBlockSize,
                         testing::Values(block_case{"512", below_sector},
                                         block_case{"2048", below_sector},
                                         block_case{"3584", below_sector},
                                         block_case{"3k", below_sector},
                                         block_case{"6144", not_sector_multiple},
                                         block_case{"4608", not_sector_multiple}));

// The block-size check comes before the size query: an empty device with
// 4096-byte sectors and -b 512 gets the block-size message.
TEST(StartupOrder, BlockSizeBeforeDiskSize) {
    REQUIRE_LOOP_DEVICES();
    scratch_device disk(0, 4096);
    const child_result run = run_platterfell({"-y", "-b", "512", disk.path()});
    EXPECT_EQ(run.err, "The block size can't be less than the disk's sector size (4096).\n");
    EXPECT_EQ(run.exit_code, 1) << describe_exit(run);
}

} // namespace
