// SPDX-License-Identifier: MIT
#include "support/devices.h"

#include "support/io_util.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

std::string gate_loop_devices_missing() {
    if (geteuid() != 0)
        return "device test needs root (loop devices are attached by ioctl)";
    if (access("/dev/loop-control", R_OK | W_OK) != 0)
        return std::string("device test needs /dev/loop-control: ") + std::strerror(errno);
    return "";
}

std::string gate_fault_device_missing() {
    std::string reason = gate_loop_devices_missing();
    if (!reason.empty())
        return reason;
    if (access("/dev/fuse", R_OK | W_OK) != 0)
        return std::string("fault device test needs /dev/fuse: ") + std::strerror(errno);
    const std::string daemon = FAULTFS_BINARY;
    if (daemon.empty())
        return "fault device test needs the faultfs daemon, which is built only when "
               "pkg-config finds fuse3 (libfuse3-dev)";
    if (access(daemon.c_str(), X_OK) != 0)
        return "fault device test needs " + daemon + ": " + std::strerror(errno);
    return "";
}

bool gate_required_by_ci() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::strcmp(ci, "true") == 0;
}

namespace {

constexpr int attach_attempts = 100;

std::string canonical(const std::string& path) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr)
        io_fail("cannot resolve", path);
    return resolved;
}

struct descriptor {
    explicit descriptor(int value) : fd(value) {}
    ~descriptor() {
        if (fd >= 0)
            close(fd);
    }
    descriptor(const descriptor&) = delete;
    descriptor& operator=(const descriptor&) = delete;
    int release() {
        const int value = fd;
        fd = -1;
        return value;
    }
    int fd;
};

void pause_briefly() {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

} // namespace

loop_device::loop_device(const std::string& backing, unsigned sector_size, bool direct_io,
                         std::uint64_t offset, std::uint64_t size_limit, bool partitions)
    : backing_(canonical(backing)) {
    const descriptor control(open("/dev/loop-control", O_RDWR | O_CLOEXEC));
    if (control.fd < 0)
        io_fail("cannot open", "/dev/loop-control");
    const descriptor file(open(backing_.c_str(), O_RDWR | O_CLOEXEC));
    if (file.fd < 0)
        io_fail("cannot open backing file", backing_);

    loop_config config{};
    config.fd = static_cast<__u32>(file.fd);
    config.block_size = sector_size;
    config.info.lo_flags = LO_FLAGS_AUTOCLEAR | (direct_io ? LO_FLAGS_DIRECT_IO : 0) |
                           (partitions ? LO_FLAGS_PARTSCAN : 0);
    config.info.lo_offset = offset;
    config.info.lo_sizelimit = size_limit;
    std::snprintf(reinterpret_cast<char*>(config.info.lo_file_name), LO_NAME_SIZE, "%s",
                  backing_.c_str());

    for (int attempt = 0; attempt < attach_attempts; ++attempt) {
        const int number = ioctl(control.fd, LOOP_CTL_GET_FREE);
        if (number < 0)
            io_fail("LOOP_CTL_GET_FREE failed on", "/dev/loop-control");
        const std::string path = "/dev/loop" + std::to_string(number);
        descriptor device(open(path.c_str(), O_RDWR | O_CLOEXEC));
        // ENOENT: the node is not made yet; ENXIO: another racer was handed
        // the same number, attached and is detaching it.
        if (device.fd < 0 && (errno == ENOENT || errno == ENXIO)) {
            pause_briefly();
            continue;
        }
        if (device.fd < 0)
            io_fail("cannot open", path);
        if (ioctl(device.fd, LOOP_CONFIGURE, &config) != 0) {
            if (errno == EBUSY) {
                pause_briefly();
                continue;
            }
            io_fail("LOOP_CONFIGURE failed for " + backing_ + " on", path);
        }
        number_ = number;
        path_ = path;
        fd_ = device.release();
        diskseq_ = io_trim(io_read_text_or_empty(sysfs("diskseq")));
        check_owner();
        return;
    }
    throw std::runtime_error("no free loop device for " + backing_ + " after " +
                             std::to_string(attach_attempts) + " attempts");
}

loop_device::~loop_device() {
    if (!detach())
        std::fprintf(stderr,
                     "test rig: %s is still held open by someone; the kernel detaches it "
                     "when that descriptor closes\n",
                     path_.c_str());
}

std::string loop_device::sysfs(const std::string& name) const {
    return "/sys/block/loop" + std::to_string(number_) + "/" + name;
}

bool loop_device::direct_io_active() const {
    return io_trim(io_read_text_or_empty(sysfs("loop/dio"))) == "1";
}

bool loop_device::attached() const {
    if (number_ < 0)
        return false;
    if (io_trim(io_read_text_or_empty(sysfs("loop/backing_file"))) != backing_)
        return false;
    return io_trim(io_read_text_or_empty(sysfs("diskseq"))) == diskseq_;
}

void loop_device::check_owner() const {
    const std::string shown = io_trim(io_read_text_or_empty(sysfs("loop/backing_file")));
    if (shown != backing_)
        throw std::runtime_error("refusing to use " + path_ + ": its backing file is \"" + shown +
                                 "\", not our " + backing_);
    const std::string sequence = io_trim(io_read_text_or_empty(sysfs("diskseq")));
    if (sequence != diskseq_)
        throw std::runtime_error("refusing to use " + path_ + ": it was attached again (diskseq " +
                                 sequence + ", ours " + diskseq_ + ")");
}

bool loop_device::detach(double timeout_seconds) {
    if (fd_ >= 0) {
        // With our descriptor the only one, LOOP_CLR_FD marks the device and
        // the close below detaches it; otherwise the last close does.
        ioctl(fd_, LOOP_CLR_FD, 0);
        close(fd_);
        fd_ = -1;
    }
    const double deadline = io_now() + timeout_seconds;
    while (attached()) {
        if (io_now() >= deadline)
            return false;
        pause_briefly();
    }
    return true;
}

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

scratch_device::scratch_device(std::uint64_t size, unsigned sector_size, bool partitions)
    : sector_size_(sector_size), image_(size),
      loop_(image_.path, sector_size, false, 0, 0, partitions) {}

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
