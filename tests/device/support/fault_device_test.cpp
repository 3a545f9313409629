// SPDX-License-Identifier: MIT
#include "support/devices.h"

#include "support/process.h"
#include "support/io_util.h"

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

// LENGTH bytes at OFFSET, all BYTE.
struct span {
    std::uint64_t offset;
    std::size_t length;
    unsigned char byte;
};

// A device that lies: its rule is set once the first 128 KiB hold 0x11;
// then come direct writes, each followed by an fsync of the device, and a
// direct read of the whole device.
struct lying_row {
    const char* name;
    void (*set)(fault_device&);
    std::vector<span> writes;
    std::vector<span> expected; // in what the read gives
};

const lying_row lying_rows[] = {
    {"StuckBit",
     [](fault_device& disk) { disk.stick_bits(4096, 12288, 0x80); },
     {{0, 16384, 0xFF}},
     {{0, 4096, 0xFF}, {4096, 8192, 0x7F}, {12288, 4096, 0xFF}}},
    {"DropAfter",
     [](fault_device& disk) { disk.drop_writes_after(6144); },
     {{0, 4096, 0xAA}, {4096, 4096, 0xBB}, {8192, 4096, 0xCC}},
     {{0, 4096, 0xAA}, {4096, 2048, 0xBB}, {6144, 6144, 0x11}}},
    // The write at 126976 crosses the second wrap point, 131072.
    {"Wrap",
     [](fault_device& disk) { disk.wrap_at(65536); },
     {{0, 4096, 0xAA}, {69632, 4096, 0xBB}, {126976, 8192, 0xCC}},
     {{0, 4096, 0xCC}, {4096, 4096, 0xBB}, {61440, 4096, 0xCC}, {mib - 32768, 4096, 0x11}}},
    // 0xAA and 0xBB are pushed out, flushed or not; the newest write wins.
    {"LyingCache",
     [](fault_device& disk) { disk.lying_cache(8192); },
     {{0, 4096, 0xAA}, {4096, 4096, 0xBB}, {8192, 4096, 0xCC}, {8192, 4096, 0xDD}},
     {{0, 8192, 0x11}, {8192, 4096, 0xDD}}},
};

void PrintTo(const lying_row& row, std::ostream* out) {
    *out << row.name;
}

class FaultDeviceLies : public FaultDevice,
                        public ::testing::WithParamInterface<std::tuple<lying_row, unsigned>> {};

TEST_P(FaultDeviceLies, ReadsGiveWhatTheRuleLetsBeStored) {
    const lying_row& row = std::get<0>(GetParam());
    fault_device disk(mib, std::get<1>(GetParam()));
    direct_file file(disk.path());
    ASSERT_EQ(file.write(0, 128 << 10, 0x11), 128 << 10);
    row.set(disk);
    const std::uint64_t flushes = disk.stats().flushes;
    for (const span& put : row.writes) {
        ASSERT_EQ(file.write(put.offset, put.length, put.byte), put.length) << put.offset;
        ASSERT_EQ(fsync(file.fd()), 0);
    }
    EXPECT_GE(disk.stats().flushes, flushes + row.writes.size()) << "an fsync missed the daemon";
    ASSERT_EQ(file.read(0, mib), mib);
    for (const span& want : row.expected)
        for (std::size_t at = 0; at < want.length; ++at)
            ASSERT_EQ(file.data()[want.offset + at], want.byte) << "at " << want.offset + at;
}

INSTANTIATE_TEST_SUITE_P(Rules, FaultDeviceLies,
                         ::testing::Combine(::testing::ValuesIn(lying_rows),
                                            ::testing::Values(512u, 4096u)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    std::to_string(std::get<1>(info.param));
                         });

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

} // namespace
