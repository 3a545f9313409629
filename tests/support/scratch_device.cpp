// SPDX-License-Identifier: MIT
#include "support/scratch_device.h"

#include "support/io_util.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

const std::string& scratch_dir() {
    static const std::string dir = [] {
        io_make_dirs(SCRATCH_DIR);
        return std::string(SCRATCH_DIR);
    }();
    return dir;
}

std::string scratch_name(const std::string& stem, const std::string& suffix) {
    static std::atomic<unsigned> counter{0};
    return scratch_dir() + "/" + stem + "-" + std::to_string(getpid()) + "-" +
           std::to_string(counter++) + suffix;
}

scratch_device::image_file::image_file(std::uint64_t bytes)
    : path(scratch_name("image", ".img")), size(bytes) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        io_fail("cannot create scratch image", path);
    if (ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
        const int error = errno;
        close(fd);
        unlink(path.c_str());
        errno = error;
        io_fail("cannot size scratch image to " + std::to_string(bytes) + " bytes:", path);
    }
    close(fd);
}

scratch_device::image_file::~image_file() {
    unlink(path.c_str());
}

scratch_device::scratch_device(std::uint64_t size, unsigned sector_size)
    : scratch_device(size, options{sector_size, false}) {}

scratch_device::scratch_device(std::uint64_t size, const options& choices)
    : sector_size_(choices.sector_size), image_(size),
      loop_(image_.path, choices.sector_size, choices.direct_io) {}

std::uint64_t scratch_device::device_size() const {
    const int fd = open(path().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        io_fail("cannot open", path());
    std::uint64_t bytes = 0;
    const int result = ioctl(fd, BLKGETSIZE64, &bytes);
    const int error = errno;
    close(fd);
    if (result != 0) {
        errno = error;
        io_fail("BLKGETSIZE64 failed on", path());
    }
    return bytes;
}

std::vector<unsigned char> scratch_device::read_all() const {
    return io_read_direct(path());
}

void scratch_device::fill(unsigned char byte) {
    loop_.check_owner();
    io_fill_direct(path(), device_size(), byte);
}

std::vector<unsigned char> scratch_device::read_image() const {
    return io_read_file(image_.path);
}

void scratch_device::write_image(std::uint64_t offset, const std::vector<unsigned char>& bytes) {
    io_write_file(image_.path, offset, bytes);
}
