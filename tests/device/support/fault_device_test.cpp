// SPDX-License-Identifier: MIT
#include "support/fault_device.h"

#include "support/child.h"
#include "support/io_util.h"
#include "support/scratch_device.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <chrono>
#include <thread>

namespace {

constexpr std::uint64_t mib = 1 << 20;

// One O_DIRECT descriptor on a device with a page-aligned buffer.
class direct_file {
  public:
    explicit direct_file(const std::string& path)
        : fd_(open(path.c_str(), O_RDWR | O_DIRECT | O_CLOEXEC)) {
        if (fd_ < 0)
            io_fail("cannot open", path);
        if (posix_memalign(&buffer_, 4096, mib) != 0)
            throw std::runtime_error("out of memory");
    }
    ~direct_file() {
        close(fd_);
        std::free(buffer_);
    }
    direct_file(const direct_file&) = delete;
    direct_file& operator=(const direct_file&) = delete;

    // pwrite of LENGTH bytes of BYTE at OFFSET; gives its result, errno in error.
    ssize_t write(std::uint64_t offset, std::size_t length, unsigned char byte) {
        std::memset(buffer_, byte, length);
        const ssize_t put = pwrite(fd_, buffer_, length, static_cast<off_t>(offset));
        error = errno;
        return put;
    }
    ssize_t read(std::uint64_t offset, std::size_t length) {
        std::memset(buffer_, 0x77, length);
        const ssize_t got = pread(fd_, buffer_, length, static_cast<off_t>(offset));
        error = errno;
        return got;
    }
    const unsigned char* data() const { return static_cast<const unsigned char*>(buffer_); }
    int fd() const { return fd_; }

    int error = 0;

  private:
    int fd_;
    void* buffer_ = nullptr;
};

// Whether PID has ended: gone, or a zombie waiting for whoever reaps orphans
// here (that can take seconds).
bool process_ended(pid_t pid) {
    if (kill(pid, 0) != 0)
        return true;
    const std::string stat = io_read_text_or_empty("/proc/" + std::to_string(pid) + "/stat");
    return stat.find(") Z") != std::string::npos;
}

class FaultDevice : public ::testing::Test {
  protected:
    void SetUp() override { REQUIRE_FAULT_DEVICE(); }
};

TEST_F(FaultDevice, AttachesWithLoopDirectIoAndSectorSize) {
    fault_device disk(4 * mib, 4096);
    EXPECT_TRUE(disk.loop().direct_io_active());
    const int fd = open(disk.path().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    int sector = 0;
    EXPECT_EQ(ioctl(fd, BLKSSZGET, &sector), 0);
    EXPECT_EQ(sector, 4096);
    std::uint64_t size = 0;
    EXPECT_EQ(ioctl(fd, BLKGETSIZE64, &size), 0);
    EXPECT_EQ(size, 4 * mib);
    close(fd);
    EXPECT_EQ(disk.loop().backing(), disk.disk_file());
}

TEST_F(FaultDevice, WritesAreStoredAndReadBack) {
    fault_device disk(2 * mib, 512);
    direct_file file(disk.path());
    ASSERT_EQ(file.write(mib, 4096, 0x3C), 4096);
    ASSERT_EQ(file.read(mib, 4096), 4096);
    EXPECT_EQ(file.data()[0], 0x3C);
    EXPECT_EQ(file.data()[4095], 0x3C);
    const std::vector<unsigned char> stored = disk.read_all();
    ASSERT_EQ(stored.size(), 2 * mib);
    EXPECT_EQ(stored[mib - 1], 0);
    EXPECT_EQ(stored[mib], 0x3C);
    EXPECT_EQ(stored[mib + 4095], 0x3C);
    EXPECT_EQ(stored[mib + 4096], 0);
}

TEST_F(FaultDevice, FlipRuleCorruptsWhatADirectReadReturns) {
    fault_device disk(mib, 4096);
    disk.write_stored(0, std::vector<unsigned char>(3 * 4096, 0x0F));
    disk.flip(4096 + 100, 4096 + 101);
    direct_file file(disk.path());
    ASSERT_EQ(file.read(4096, 4096), 4096);
    EXPECT_EQ(file.data()[99], 0x0F);
    EXPECT_EQ(file.data()[100], 0xF0);
    EXPECT_EQ(file.data()[101], 0x0F);
    ASSERT_EQ(file.read(0, 4096), 4096);
    EXPECT_EQ(file.data()[100], 0x0F) << "a read outside the range is not flipped";
    EXPECT_EQ(disk.stats().flipped_bytes, 1u);
    EXPECT_EQ(disk.read_all()[4096 + 100], 0x0F) << "the stored byte stays right";
    disk.clear_rules();
    ASSERT_EQ(file.read(4096, 4096), 4096);
    EXPECT_EQ(file.data()[100], 0x0F);
}

TEST_F(FaultDevice, WriteFailRuleGivesEioToADirectWriter) {
    fault_device disk(mib, 4096);
    disk.fail_writes(8192, 12288, EIO);
    direct_file file(disk.path());
    EXPECT_EQ(file.write(8192, 4096, 0xAA), -1);
    EXPECT_EQ(file.error, EIO);
    EXPECT_EQ(file.write(4096, 4096, 0xAA), 4096);
    EXPECT_EQ(file.write(12288, 4096, 0xAA), 4096);
    const fault_stats counts = disk.stats();
    EXPECT_GE(counts.failed_writes, 1u);
    const std::vector<unsigned char> stored = disk.read_all();
    EXPECT_EQ(stored[8192], 0) << "a failed write stores nothing";
    EXPECT_EQ(stored[4096], 0xAA);
}

TEST_F(FaultDevice, EnospcRulePassesThroughTheLoopDriver) {
    fault_device disk(mib, 512);
    disk.fail_writes(512 * 1024, mib, ENOSPC);
    direct_file file(disk.path());
    EXPECT_EQ(file.write(512 * 1024, 4096, 0x01), -1);
    EXPECT_EQ(file.error, ENOSPC);
}

TEST_F(FaultDevice, ReadFailRuleGivesEio) {
    fault_device disk(mib, 512);
    disk.fail_reads(0, 512, EIO);
    direct_file file(disk.path());
    EXPECT_EQ(file.read(0, 4096), -1);
    EXPECT_EQ(file.error, EIO);
    EXPECT_EQ(file.read(4096, 4096), 4096);
    EXPECT_GE(disk.stats().failed_reads, 1u);
}

TEST_F(FaultDevice, DroppedWritesAreAcknowledgedButNotStored) {
    fault_device disk(mib, 4096);
    disk.drop_writes(4096, 8192);
    direct_file file(disk.path());
    EXPECT_EQ(file.write(0, 3 * 4096, 0xAB), 3 * 4096);
    const std::vector<unsigned char> stored = disk.read_all();
    EXPECT_EQ(stored[4095], 0xAB);
    EXPECT_EQ(stored[4096], 0x00);
    EXPECT_EQ(stored[8191], 0x00);
    EXPECT_EQ(stored[8192], 0xAB);
    ASSERT_EQ(file.read(4096, 4096), 4096);
    EXPECT_EQ(file.data()[0], 0x00) << "the read-back shows the lost write";
    const fault_stats counts = disk.stats();
    EXPECT_EQ(counts.dropped_bytes, 4096u);
    EXPECT_EQ(counts.bytes_written, 3u * 4096);
}

TEST_F(FaultDevice, StatsCountWriteRequestsAndBytes) {
    fault_device disk(4 * mib, 4096);
    direct_file file(disk.path());
    disk.reset_stats();
    for (int block = 0; block < 3; ++block)
        ASSERT_EQ(file.write(static_cast<std::uint64_t>(block) * 65536, 4096, 0x10), 4096);
    fault_stats counts = disk.stats();
    EXPECT_EQ(counts.writes, 3u);
    EXPECT_EQ(counts.bytes_written, 3u * 4096);
    EXPECT_EQ(counts.reads, 0u);
    ASSERT_EQ(file.read(0, 4096), 4096);
    counts = disk.stats();
    EXPECT_EQ(counts.reads, 1u);
    EXPECT_EQ(counts.bytes_read, 4096u);
}

TEST_F(FaultDevice, WrapAliasesOffsetsBeyondTheStoredSize) {
    fault_device disk(4 * mib, 4096);
    disk.wrap_beyond(mib);
    direct_file file(disk.path());
    ASSERT_EQ(file.write(4096, 4096, 0x01), 4096);
    ASSERT_EQ(file.write(mib + 4096, 4096, 0x02), 4096);
    ASSERT_EQ(file.read(4096, 4096), 4096);
    EXPECT_EQ(file.data()[0], 0x02) << "the later write overwrote the aliased block";
    ASSERT_EQ(file.read(mib + 4096, 4096), 4096);
    EXPECT_EQ(file.data()[0], 0x02);
    const std::vector<unsigned char> stored = disk.read_all();
    EXPECT_EQ(stored[4096], 0x02);
    EXPECT_EQ(stored[mib + 4096], 0x00) << "nothing is stored past the wrap";
}

TEST_F(FaultDevice, DelayRuleSlowsRequestsTouchingItsRange) {
    fault_device disk(mib, 4096);
    disk.delay(0, 4096, 300);
    direct_file file(disk.path());
    double start = io_now();
    ASSERT_EQ(file.read(8192, 4096), 4096);
    EXPECT_LT(io_now() - start, 0.25) << "a read outside the range waits";
    start = io_now();
    ASSERT_EQ(file.read(0, 4096), 4096);
    EXPECT_GE(io_now() - start, 0.29);
    EXPECT_EQ(disk.stats().delayed, 1u);
}

TEST_F(FaultDevice, RulesCanBeGivenAtStart) {
    fault_device disk(mib, 512, {"fail-read 0 512 5", "flip 4096 4097"});
    direct_file file(disk.path());
    EXPECT_EQ(file.read(0, 4096), -1);
    EXPECT_EQ(file.error, EIO);
    ASSERT_EQ(file.read(4096, 4096), 4096);
    EXPECT_EQ(file.data()[0], 0xFF);
}

TEST_F(FaultDevice, BadRuleIsRefused) {
    fault_device disk(mib, 512);
    EXPECT_THROW(disk.add_rule("fail-write 10 5 5"), std::runtime_error);
    EXPECT_THROW(disk.add_rule("melt 0 1"), std::runtime_error);
    EXPECT_THROW(fault_device(mib, 512, {"flip 1"}), std::runtime_error);
}

TEST_F(FaultDevice, LargeSparseSizeCostsNothingUntilWritten) {
    const std::uint64_t size = 8ull << 30;
    fault_device disk(size, 4096);
    const int fd = open(disk.path().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::uint64_t shown = 0;
    EXPECT_EQ(ioctl(fd, BLKGETSIZE64, &shown), 0);
    close(fd);
    EXPECT_EQ(shown, size);
    direct_file file(disk.path());
    EXPECT_EQ(file.write(size - 4096, 4096, 0x99), 4096);
    ASSERT_EQ(file.read(size - 4096, 4096), 4096);
    EXPECT_EQ(file.data()[4095], 0x99);
}

TEST_F(FaultDevice, TeardownLeavesNoDeviceMountOrDaemon) {
    std::string mount_dir;
    std::string backing;
    int number = -1;
    pid_t daemon = -1;
    {
        fault_device disk(mib, 512);
        mount_dir = disk.mount_dir();
        backing = disk.loop().backing();
        number = disk.loop().number();
        daemon = disk.daemon_pid();
        ASSERT_GE(fault_mount_connection(mount_dir), 0);
    }
    EXPECT_EQ(fault_mount_connection(mount_dir), -1);
    EXPECT_NE(io_trim(io_read_text_or_empty("/sys/block/loop" + std::to_string(number) +
                                            "/loop/backing_file")),
              backing);
    EXPECT_NE(access(mount_dir.c_str(), F_OK), 0);
    EXPECT_NE(kill(daemon, 0), 0) << "the daemon was not reaped";
}

TEST_F(FaultDevice, StoppedDaemonStillTearsDown) {
    std::string mount_dir;
    const double start = io_now();
    {
        fault_device disk(mib, 512);
        mount_dir = disk.mount_dir();
        ASSERT_EQ(kill(disk.daemon_pid(), SIGSTOP), 0);
    }
    EXPECT_LT(io_now() - start, 10);
    EXPECT_EQ(fault_mount_connection(mount_dir), -1);
}

TEST_F(FaultDevice, AbortedConnectionFailsRequestsAndStillTearsDown) {
    std::string mount_dir;
    {
        fault_device disk(mib, 512);
        mount_dir = disk.mount_dir();
        direct_file file(disk.path());
        disk.abort_connection();
        EXPECT_EQ(file.read(0, 4096), -1);
        EXPECT_NE(file.error, 0);
    }
    EXPECT_EQ(fault_mount_connection(mount_dir), -1);
}

TEST_F(FaultDevice, KilledHolderLeavesNoDeviceMountOrDaemon) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(ends[0]);
        auto* disk = new fault_device(mib, 512);
        const std::string line = std::to_string(disk->loop().number()) + " " +
                                 std::to_string(disk->daemon_pid()) + " " + disk->mount_dir() +
                                 "\n";
        if (write(ends[1], line.data(), line.size()) < 0)
            _exit(1);
        raise(SIGKILL); // no destructor runs
        _exit(1);
    }
    close(ends[1]);
    std::string text;
    char buffer[512];
    for (ssize_t got; (got = read(ends[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(got));
    close(ends[0]);
    waitpid(pid, nullptr, 0);
    std::istringstream words(text);
    int number = -1;
    pid_t daemon = -1;
    std::string mount_dir;
    ASSERT_TRUE(words >> number >> daemon >> mount_dir) << "the child made no fault device";
    const std::string backing = mount_dir + "/disk";
    const auto gone = [&] {
        return fault_mount_connection(mount_dir) < 0 &&
               io_trim(io_read_text_or_empty("/sys/block/loop" + std::to_string(number) +
                                             "/loop/backing_file")) != backing &&
               process_ended(daemon);
    };
    const double deadline = io_now() + 10;
    while (!gone() && io_now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(fault_mount_connection(mount_dir), -1);
    EXPECT_NE(io_trim(io_read_text_or_empty("/sys/block/loop" + std::to_string(number) +
                                            "/loop/backing_file")),
              backing);
    EXPECT_TRUE(process_ended(daemon)) << "the daemon outlived its parent";
    rmdir(mount_dir.c_str());
}

TEST_F(FaultDevice, DaemonExitsCleanlyOnSigtermAndUnmounts) {
    const std::string mount_dir = scratch_name("sigterm");
    ASSERT_EQ(mkdir(mount_dir.c_str(), 0700), 0);
    child_process daemon({FAULTFS_BINARY, "--size", "1048576", mount_dir});
    const double deadline = io_now() + 10;
    while (fault_mount_connection(mount_dir) < 0 && io_now() < deadline && daemon.running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_GE(fault_mount_connection(mount_dir), 0) << daemon.err();
    EXPECT_EQ(io_trim(io_read_text(mount_dir + "/stats")).substr(0, 8), "reads 0\n");
    daemon.send_signal(SIGTERM);
    const child_result result = daemon.wait(10);
    EXPECT_TRUE(result.exited) << describe_exit(result);
    EXPECT_EQ(result.exit_code, 0) << describe_exit(result);
    EXPECT_EQ(fault_mount_connection(mount_dir), -1);
    if (fault_mount_connection(mount_dir) >= 0)
        umount2(mount_dir.c_str(), MNT_DETACH);
    rmdir(mount_dir.c_str());
}

} // namespace
