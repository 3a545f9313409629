// SPDX-License-Identifier: MIT
#include "support/scratch_device.h"

#include "support/io_util.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <set>
#include <thread>

namespace {

std::string backing_of(int number) {
    return io_trim(
        io_read_text_or_empty("/sys/block/loop" + std::to_string(number) + "/loop/backing_file"));
}

int number_of(const std::string& path) {
    return std::atoi(path.c_str() + 9);
}

class ScratchDevice : public ::testing::Test {
  protected:
    void SetUp() override { REQUIRE_LOOP_DEVICES(); }
};

TEST_F(ScratchDevice, ReportsSectorSize4096AndSize) {
    scratch_device disk(1 << 20, 4096);
    const int fd = open(disk.path().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << disk.path();
    int sector = 0;
    EXPECT_EQ(ioctl(fd, BLKSSZGET, &sector), 0);
    EXPECT_EQ(sector, 4096);
    EXPECT_EQ(lseek(fd, 0, SEEK_END), 1 << 20);
    close(fd);
    EXPECT_EQ(disk.device_size(), 1u << 20);
    EXPECT_EQ(disk.size(), 1u << 20);
}

TEST_F(ScratchDevice, ReportsSectorSize512ByDefault) {
    scratch_device disk(64 * 1024);
    const int fd = open(disk.path().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << disk.path();
    int sector = 0;
    EXPECT_EQ(ioctl(fd, BLKSSZGET, &sector), 0);
    EXPECT_EQ(sector, 512);
    close(fd);
}

TEST_F(ScratchDevice, BackingFileIsItsOwnImage) {
    scratch_device disk(1 << 20);
    EXPECT_EQ(disk.path().compare(0, 9, "/dev/loop"), 0) << disk.path();
    EXPECT_EQ(backing_of(number_of(disk.path())), disk.loop().backing());
    EXPECT_EQ(disk.image_path().compare(0, scratch_dir().size(), scratch_dir()), 0);
    EXPECT_NO_THROW(disk.loop().check_owner());
}

TEST_F(ScratchDevice, DestructorDetachesAndRemovesImage) {
    int number = -1;
    std::string image;
    {
        scratch_device disk(1 << 20);
        number = number_of(disk.path());
        image = disk.loop().backing();
        ASSERT_EQ(backing_of(number), image);
    }
    EXPECT_NE(backing_of(number), image);
    EXPECT_NE(access(image.c_str(), F_OK), 0) << image << " still exists";
}

TEST_F(ScratchDevice, DestructorCleansUpWhenTheTestThrows) {
    int number = -1;
    std::string image;
    try {
        scratch_device disk(1 << 20);
        number = number_of(disk.path());
        image = disk.loop().backing();
        throw std::logic_error("test body failed");
    } catch (const std::logic_error&) {
    }
    EXPECT_NE(backing_of(number), image);
    EXPECT_NE(access(image.c_str(), F_OK), 0);
}

TEST_F(ScratchDevice, FillIsReadBackThroughDeviceAndImage) {
    scratch_device disk(3 << 20, 4096);
    disk.fill(0xA5);
    const std::vector<unsigned char> device = disk.read_all();
    EXPECT_EQ(device, std::vector<unsigned char>(3 << 20, 0xA5));
    EXPECT_EQ(disk.read_image(), device);
}

TEST_F(ScratchDevice, ImageWritesAreSeenByDirectReads) {
    scratch_device disk(1 << 20);
    disk.fill(0x00);
    disk.write_image(4096, {1, 2, 3});
    const std::vector<unsigned char> device = disk.read_all();
    ASSERT_EQ(device.size(), 1u << 20);
    EXPECT_EQ(device[4095], 0);
    EXPECT_EQ(device[4096], 1);
    EXPECT_EQ(device[4098], 3);
}

TEST_F(ScratchDevice, OddSizeIsRoundedDownTo512) {
    scratch_device disk(16387);
    EXPECT_EQ(disk.size(), 16387u);
    EXPECT_EQ(disk.device_size(), 16384u);
    disk.fill(0x5A);
    EXPECT_EQ(disk.read_all(), std::vector<unsigned char>(16384, 0x5A));
    const std::vector<unsigned char> image = disk.read_image();
    ASSERT_EQ(image.size(), 16387u);
    EXPECT_EQ(image[16383], 0x5A);
    EXPECT_EQ(image[16384], 0x00) << "the tail past the last sector is not on the device";
}

TEST_F(ScratchDevice, PartialLastSectorIsLeftOutOfDirectIo) {
    // 6144 bytes of 4096-byte sectors: O_DIRECT refuses any request touching
    // the last half sector, so fill and read_all stop before it.
    scratch_device disk(6144, 4096);
    EXPECT_EQ(disk.device_size(), 6144u);
    EXPECT_NO_THROW(disk.fill(0x33));
    EXPECT_EQ(disk.read_all(), std::vector<unsigned char>(4096, 0x33));
    const std::vector<unsigned char> image = disk.read_image();
    ASSERT_EQ(image.size(), 6144u);
    EXPECT_EQ(image[4095], 0x33);
    EXPECT_EQ(image[4096], 0x00);
}

TEST_F(ScratchDevice, ZeroSizeImageAttaches) {
    scratch_device disk(0);
    EXPECT_EQ(disk.device_size(), 0u);
    EXPECT_TRUE(disk.read_all().empty());
    EXPECT_NO_THROW(disk.fill(0xFF));
    const int fd = open(disk.path().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    errno = 0;
    EXPECT_EQ(lseek(fd, -1, SEEK_END), -1);
    EXPECT_EQ(errno, EINVAL);
    close(fd);
}

TEST_F(ScratchDevice, LoopDirectIoCanBeAskedFor) {
    scratch_device disk(1 << 20, scratch_device::options{4096, true});
    EXPECT_TRUE(disk.direct_io_active());
    disk.fill(0x11);
    EXPECT_EQ(disk.read_image(), std::vector<unsigned char>(1 << 20, 0x11));
}

TEST_F(ScratchDevice, RefusesToWriteOnceNoLongerAttached) {
    scratch_device disk(1 << 20);
    ASSERT_TRUE(disk.loop().detach());
    EXPECT_THROW(disk.loop().check_owner(), std::runtime_error);
    EXPECT_THROW(disk.fill(0xEE), std::runtime_error);
}

TEST_F(ScratchDevice, ParallelAttachesGetDistinctDevices) {
    constexpr int count = 8;
    std::atomic<int> attached{0};
    std::promise<void> release;
    std::shared_future<void> go = release.get_future().share();
    std::vector<std::future<std::string>> attaches;
    for (int at = 0; at < count; ++at)
        attaches.push_back(std::async(std::launch::async, [go, &attached] {
            scratch_device disk(1 << 20);
            attached++;
            go.wait(); // every device stays attached until all are
            disk.fill(0x42);
            return disk.path() + (disk.read_image()[0] == 0x42 ? "" : " wrote elsewhere");
        }));
    const double deadline = io_now() + 30;
    while (attached.load() < count && io_now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    release.set_value();
    std::set<std::string> paths;
    for (auto& attach : attaches)
        paths.insert(attach.get());
    EXPECT_EQ(paths.size(), static_cast<std::size_t>(count));
    for (const std::string& path : paths)
        EXPECT_EQ(path.find(' '), std::string::npos) << path;
}

TEST_F(ScratchDevice, KernelDetachesWhenTheHolderIsKilled) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(ends[0]);
        scratch_device* disk = new scratch_device(1 << 20);
        const std::string line =
            std::to_string(number_of(disk->path())) + " " + disk->loop().backing() + "\n";
        if (write(ends[1], line.data(), line.size()) < 0)
            _exit(1);
        raise(SIGKILL); // no destructor runs
        _exit(1);
    }
    close(ends[1]);
    char buffer[512] = {};
    std::size_t got = 0;
    for (ssize_t part; (part = read(ends[0], buffer + got, sizeof buffer - 1 - got)) > 0;)
        got += static_cast<std::size_t>(part);
    close(ends[0]);
    waitpid(pid, nullptr, 0);
    const std::string text(buffer, got);
    const std::size_t space = text.find(' ');
    ASSERT_NE(space, std::string::npos) << "the child attached nothing";
    const int number = std::atoi(text.c_str());
    const std::string image = io_trim(text.substr(space + 1));
    const double deadline = io_now() + 5;
    while (backing_of(number) == image && io_now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_NE(backing_of(number), image) << "/dev/loop" << number << " stayed attached";
    unlink(image.c_str());
}

} // namespace
