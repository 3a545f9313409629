// SPDX-License-Identifier: MIT
// A device the system is using is refused: an ext4 file system on a scratch
// loop device, mounted under the scratch folder, and the program run on it.
#include "program/program_helpers.h"

#include "support/process.h"
#include "support/devices.h"
#include "support/io_util.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t device_bytes = 8 << 20;
const std::string kept_text = "this file must survive\n";

void make_ext4(const std::string& device) {
    const child_result made = run_child({"mkfs.ext4", "-q", "-F", device});
    ASSERT_EQ(made.exit_code, 0) << describe_exit(made);
}

void expect_checks_clean(const std::string& device) {
    const child_result check = run_child({"e2fsck", "-fn", device});
    EXPECT_EQ(check.exit_code, 0) << describe_exit(check) << "\n" << check.out;
}

void write_text(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        io_fail("cannot create", path);
    const bool whole = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const bool synced = fsync(fd) == 0;
    close(fd);
    if (!whole || !synced)
        io_fail("cannot write", path);
}

std::string read_text(const std::string& path) {
    const std::vector<unsigned char> bytes = io_read_file(path);
    return std::string(bytes.begin(), bytes.end());
}

// An ext4 made on UPPER and mounted makes TESTED in use; the file system is
// clean after the refusal.
void expect_refused_under_mount(const std::string& upper, const std::string& tested) {
    make_ext4(upper);
    if (testing::Test::HasFatalFailure())
        return;
    {
        const scratch_mount mounted(upper, "ext4");
        const child_result run = run_platterfell({"-y", tested});
        EXPECT_EQ(run.err, "Error: " + tested + " is in use by the system.\n");
        EXPECT_EQ(run.exit_code, 1) << describe_exit(run);
    }
    expect_checks_clean(upper);
}

// Partition NUMBER of DISK over SIZE bytes from START, made by hand: the
// kernel here reads no partition tables.
void add_partition(const std::string& disk, int number, std::uint64_t start, std::uint64_t size) {
    const child_result added = run_child({"addpart", disk, std::to_string(number),
                                          std::to_string(start / 512), std::to_string(size / 512)});
    ASSERT_EQ(added.exit_code, 0) << describe_exit(added) << added.err;
}

class InUse : public testing::TestWithParam<unsigned> {};

TEST_P(InUse, MountedDeviceIsRefused) {
    REQUIRE_LOOP_DEVICES();
    scratch_device disk(device_bytes, GetParam());
    make_ext4(disk.path());
    if (HasFatalFailure())
        return;
    {
        const scratch_mount mounted(disk.path(), "ext4");
        write_text(mounted.dir() + "/kept", kept_text);

        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"-y", disk.path()}, {disk.path()}}) {
            const child_result run = run_platterfell(args);
            EXPECT_EQ(run.err, "Error: " + disk.path() + " is in use by the system.\n")
                << "no prompt may come before the refusal";
            EXPECT_EQ(run.out, "");
            EXPECT_TRUE(run.exited) << describe_exit(run);
            EXPECT_EQ(run.exit_code, 1) << describe_exit(run);
        }

        // Reached through a symlink, the message names the link as typed.
        const scratch_symlink link(disk.path());
        const child_result run = run_platterfell({"-y", link.path()});
        EXPECT_EQ(run.err, "Error: " + link.path() + " is in use by the system.\n");
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.exit_code, 1) << describe_exit(run);
    }
    expect_checks_clean(disk.path());
    const scratch_mount again(disk.path(), "ext4");
    EXPECT_EQ(read_text(again.dir() + "/kept"), kept_text);
}

// While the program waits for an answer it holds the device exclusively, so
// the system cannot mount it meanwhile; once it has ended, it can.
TEST_P(InUse, DeviceCannotBeMountedWhileTheProgramAsks) {
    REQUIRE_LOOP_DEVICES();
    scratch_device disk(device_bytes, GetParam());
    make_ext4(disk.path());
    if (HasFatalFailure())
        return;
    child_options options;
    options.input = child_stdin::text;
    options.keep_stdin_open = true;
    child_process asking({platterfell_binary(), disk.path()}, options);
    ASSERT_TRUE(asking.wait_for_stderr(expected_prompt, 10)) << asking.err();

    const std::string dir = scratch_name("mount");
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0) << std::strerror(errno);
    const int mounted = mount(disk.path().c_str(), dir.c_str(), "ext4", 0, nullptr);
    const int error = errno;
    if (mounted == 0)
        umount2(dir.c_str(), 0);
    rmdir(dir.c_str());
    EXPECT_EQ(mounted, -1) << "the device was mounted while the program held it";
    EXPECT_EQ(error, EBUSY) << std::strerror(error);

    asking.write_stdin("n");
    asking.close_stdin();
    const child_result run = asking.wait(10);
    EXPECT_EQ(run.err, expected_device_line(disk) + expected_prompt + "n\n");
    EXPECT_EQ(run.exit_code, 0) << describe_exit(run);

    { const scratch_mount after(disk.path(), "ext4"); }
    expect_checks_clean(disk.path());
}

// A loop device set up over the disk, with a file system mounted from it,
// does not make the disk's exclusive open fail; the disk is in use all the same.
TEST_P(InUse, DeviceUnderAMountedLoopDeviceIsRefused) {
    REQUIRE_LOOP_DEVICES();
    scratch_device disk(device_bytes, GetParam());
    const loop_device upper(disk.path(), GetParam(), false);
    expect_refused_under_mount(upper.path(), disk.path());
}

// The loop device's backing file is known by its device number, not by the
// path it was set up through: a node made elsewhere (on a tmpfs without
// nodev, unlike /dev/shm; deleted since) or /dev bound to another place.
TEST_P(InUse, DeviceUnderALoopDeviceThroughAnotherPathIsRefused) {
    REQUIRE_LOOP_DEVICES();
    scratch_device disk(device_bytes, GetParam());
    struct stat info;
    ASSERT_EQ(stat(disk.path().c_str(), &info), 0) << std::strerror(errno);
    const scratch_mount nodes("tmpfs", "tmpfs");
    const std::string made_node = nodes.dir() + "/disk";
    ASSERT_EQ(mknod(made_node.c_str(), S_IFBLK | 0600, info.st_rdev), 0) << std::strerror(errno);
    const scratch_mount dev_elsewhere("/dev", "", "", MS_BIND);
    for (const std::string& path : {made_node, dev_elsewhere.dir() + disk.path().substr(4)}) {
        const loop_device upper(path, GetParam(), false);
        unlink(made_node.c_str());
        expect_refused_under_mount(upper.path(), disk.path());
    }
}

// A partition is in use when a loop device over the whole disk shows its
// bytes, and free when one shows only another partition's.
TEST_P(InUse, PartitionUnderALoopDeviceOverItsBytesIsRefused) {
    REQUIRE_LOOP_DEVICES();
    constexpr std::uint64_t mib = 1 << 20;
    scratch_device disk(device_bytes, GetParam(), true);
    add_partition(disk.path(), 1, mib, 3 * mib);
    add_partition(disk.path(), 2, 4 * mib, 4 * mib);
    if (HasFatalFailure())
        return;
    const std::string second = disk.path() + "p2";
    const loop_device over_first(disk.path(), GetParam(), false, mib, 3 * mib);
    {
        const loop_device over_second(disk.path(), GetParam(), false, 4 * mib);
        expect_refused_under_mount(over_second.path(), second);
    }
    const child_result run = run_platterfell({"-y", "-n", "1", second});
    EXPECT_EQ(run.exit_code, 0) << describe_exit(run) << run.err;
}

INSTANTIATE_TEST_SUITE_P(Sectors, InUse, testing::Values(512u, 4096u),
                         [](const testing::TestParamInfo<unsigned>& info) {
                             return "Sector" + std::to_string(info.param);
                         });

} // namespace
