// SPDX-License-Identifier: MIT
#include "support/devices.h"

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

TEST_F(ScratchDevice, RefusesToWriteOnceNoLongerAttached) {
    scratch_device disk(1 << 20);
    ASSERT_TRUE(disk.loop().detach());
    EXPECT_THROW(disk.loop().check_owner(), std::runtime_error);
    EXPECT_THROW(disk.fill(0xEE), std::runtime_error);
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
