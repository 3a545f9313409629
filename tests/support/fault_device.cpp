// SPDX-License-Identifier: MIT
#include "support/devices.h"

#include "support/io_util.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <sstream>
#include <thread>

namespace {

constexpr const char* connections_dir = "/sys/fs/fuse/connections";

struct mount_entry {
    std::string point;  // mount point, unescaped
    std::string fstype; // e.g. "fuse.faultfs"
    unsigned minor;     // minor device number: the fuse connection number
};

// Undoes the octal escapes (\040 for a space) of /proc/self/mountinfo.
std::string unescape(const std::string& text) {
    std::string plain;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] == '\\' && at + 3 < text.size()) {
            plain += static_cast<char>(std::strtol(text.substr(at + 1, 3).c_str(), nullptr, 8));
            at += 3;
        } else {
            plain += text[at];
        }
    }
    return plain;
}

std::vector<mount_entry> read_mounts() {
    std::vector<mount_entry> mounts;
    std::istringstream lines(io_read_text("/proc/self/mountinfo"));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string id, parent, numbers, root, point, word;
        words >> id >> parent >> numbers >> root >> point;
        while (words >> word && word != "-") {
        }
        std::string fstype;
        words >> fstype;
        const std::size_t colon = numbers.find(':');
        if (colon == std::string::npos)
            continue;
        mounts.push_back(
            mount_entry{unescape(point), fstype,
                        static_cast<unsigned>(std::atoi(numbers.c_str() + colon + 1))});
    }
    return mounts;
}

bool fusectl_mounted() {
    for (const mount_entry& entry : read_mounts())
        if (entry.fstype == "fusectl" && entry.point == connections_dir)
            return true;
    return false;
}

std::string canonical_dir(const std::string& path) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr)
        io_fail("cannot resolve", path);
    return resolved;
}

void pause_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace

int fault_mount_connection(const std::string& dir) {
    for (const mount_entry& entry : read_mounts())
        if (entry.point == dir && entry.fstype.compare(0, 4, "fuse") == 0)
            return static_cast<int>(entry.minor);
    return -1;
}

fault_device::fault_device(std::uint64_t size, unsigned sector_size,
                           const std::vector<std::string>& rules)
    : size_(size), sector_size_(sector_size) {
    mount_dir_ =
        canonical_dir(scratch_dir()) + "/" + scratch_name("mount").substr(scratch_dir().size() + 1);
    if (mkdir(mount_dir_.c_str(), 0700) != 0)
        io_fail("cannot create mount point", mount_dir_);
    try {
        start_daemon(rules);
        wait_mounted();
        loop_ = std::make_unique<loop_device>(disk_file(), sector_size, true);
        if (!loop_->direct_io_active())
            throw std::runtime_error(
                "loop direct I/O did not take on " + loop_->path() + " over " + disk_file() +
                " (/sys/block/loop" + std::to_string(loop_->number()) +
                "/loop/dio is not 1): injected read faults would hide behind the page cache");
    } catch (...) {
        teardown();
        throw;
    }
}

fault_device::~fault_device() {
    teardown();
}

void fault_device::start_daemon(const std::vector<std::string>& rules) {
    std::vector<std::string> words = {FAULTFS_BINARY, "--size", std::to_string(size_), "--parent",
                                      std::to_string(getpid())};
    for (const std::string& rule : rules) {
        words.push_back("--rule");
        words.push_back(rule);
    }
    words.push_back(mount_dir_);
    child_options options;
    options.output_to_test = true;  // its complaints show in the test's log
    options.death_signal = SIGTERM; // so that it unmounts when the test dies
    daemon_ = std::make_unique<child_process>(words, options);
}

void fault_device::wait_mounted() {
    const double deadline = io_now() + 10;
    for (;;) {
        connection_ = fault_mount_connection(mount_dir_);
        if (connection_ >= 0)
            return;
        if (!daemon_->running()) {
            throw std::runtime_error(std::string(FAULTFS_BINARY) + " ended before mounting " +
                                     mount_dir_ + " (" + describe_exit(daemon_->wait(0)) + ")");
        }
        if (io_now() > deadline)
            throw std::runtime_error(std::string(FAULTFS_BINARY) + " did not mount " + mount_dir_ +
                                     " within 10 s");
        pause_ms(1);
    }
}

void fault_device::send(const std::string& text) const {
    const std::string ctl = mount_dir_ + "/ctl";
    const int fd = open(ctl.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        io_fail("cannot open", ctl);
    const ssize_t put = write(fd, text.data(), text.size());
    const int error = errno;
    close(fd);
    if (put < 0 && error == EINVAL)
        throw std::runtime_error("faultfs refused the rule \"" + io_trim(text) + "\"");
    errno = error;
    if (put != static_cast<ssize_t>(text.size()))
        io_fail("cannot send \"" + io_trim(text) + "\" to", ctl);
}

void fault_device::add_rule(const std::string& line) {
    send(line + "\n");
}

void fault_device::fail_writes(std::uint64_t start, std::uint64_t end, int error) {
    add_rule("fail-write " + std::to_string(start) + " " + std::to_string(end) + " " +
             std::to_string(error));
}

void fault_device::fail_reads(std::uint64_t start, std::uint64_t end, int error) {
    add_rule("fail-read " + std::to_string(start) + " " + std::to_string(end) + " " +
             std::to_string(error));
}

void fault_device::flip(std::uint64_t start, std::uint64_t end) {
    add_rule("flip " + std::to_string(start) + " " + std::to_string(end));
}

void fault_device::drop_writes(std::uint64_t start, std::uint64_t end) {
    add_rule("drop-write " + std::to_string(start) + " " + std::to_string(end));
}

void fault_device::delay(std::uint64_t start, std::uint64_t end, unsigned ms) {
    add_rule("delay " + std::to_string(start) + " " + std::to_string(end) + " " +
             std::to_string(ms));
}

void fault_device::stick_bits(std::uint64_t start, std::uint64_t end, unsigned char mask) {
    add_rule("stuck " + std::to_string(start) + " " + std::to_string(end) + " " +
             std::to_string(mask));
}

void fault_device::drop_writes_after(std::uint64_t bytes) {
    add_rule("drop-after " + std::to_string(bytes));
}

void fault_device::wrap_at(std::uint64_t real_size) {
    add_rule("wrap " + std::to_string(real_size));
}

void fault_device::lying_cache(std::uint64_t bytes) {
    add_rule("lying-cache " + std::to_string(bytes));
}

void fault_device::clear_rules() {
    add_rule("clear");
}

void fault_device::reset_stats() {
    add_rule("reset-stats");
}

fault_stats fault_device::stats() const {
    fault_stats counts;
    std::istringstream lines(io_read_text(mount_dir_ + "/stats"));
    std::string name;
    std::uint64_t value = 0;
    while (lines >> name >> value) {
        if (name == "reads")
            counts.reads = value;
        else if (name == "writes")
            counts.writes = value;
        else if (name == "bytes_read")
            counts.bytes_read = value;
        else if (name == "bytes_written")
            counts.bytes_written = value;
        else if (name == "failed_reads")
            counts.failed_reads = value;
        else if (name == "failed_writes")
            counts.failed_writes = value;
        else if (name == "flipped_bytes")
            counts.flipped_bytes = value;
        else if (name == "dropped_bytes")
            counts.dropped_bytes = value;
        else if (name == "delayed")
            counts.delayed = value;
        else if (name == "flushes")
            counts.flushes = value;
    }
    return counts;
}

std::vector<unsigned char> fault_device::read_all() const {
    std::vector<unsigned char> bytes = io_read_file(mount_dir_ + "/store");
    if (bytes.size() != size_)
        throw std::runtime_error("faultfs store gave " + std::to_string(bytes.size()) +
                                 " bytes, not " + std::to_string(size_));
    return bytes;
}

void fault_device::write_stored(std::uint64_t offset, const std::vector<unsigned char>& bytes) {
    io_write_file(mount_dir_ + "/store", offset, bytes);
}

void fault_device::abort_connection() {
    if (connection_ < 0)
        return;
    if (!fusectl_mounted() && mount("fusectl", connections_dir, "fusectl", 0, nullptr) != 0 &&
        errno != EBUSY)
        io_fail("cannot mount fusectl on", connections_dir);
    const std::string abort_file =
        std::string(connections_dir) + "/" + std::to_string(connection_) + "/abort";
    const int fd = open(abort_file.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return; // the connection is gone already
    const ssize_t put = write(fd, "1", 1);
    close(fd);
    (void)put;
}

bool fault_device::daemon_answers(double timeout_seconds) {
    // A stopped or hung daemon would leave this write, and every detach,
    // unmount or read after it, waiting for ever: give it a deadline and
    // abort the connection past it.
    auto answer = std::async(std::launch::async, [this] {
        try {
            send("clear\n");
            return true;
        } catch (const std::runtime_error&) {
            return false;
        }
    });
    if (answer.wait_for(std::chrono::duration<double>(timeout_seconds)) ==
        std::future_status::ready)
        return answer.get();
    std::fprintf(stderr, "test rig: faultfs on %s does not answer; aborting its connection\n",
                 mount_dir_.c_str());
    abort_connection();
    answer.wait();
    return false;
}

void fault_device::unmount() {
    if (fault_mount_connection(mount_dir_) < 0)
        return;
    const double deadline = io_now() + 2;
    while (umount2(mount_dir_.c_str(), UMOUNT_NOFOLLOW) != 0) {
        if (errno != EBUSY || io_now() > deadline) {
            umount2(mount_dir_.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW);
            return;
        }
        pause_ms(5);
    }
}

void fault_device::reap_daemon() {
    if (!daemon_)
        return;
    const auto ended_within = [this](double seconds) {
        const double deadline = io_now() + seconds;
        do {
            if (!daemon_->running())
                return true;
            pause_ms(1);
        } while (io_now() < deadline);
        return false;
    };
    if (ended_within(3))
        return;
    daemon_->send_signal(SIGTERM);
    if (ended_within(2))
        return;
    abort_connection();
    daemon_->wait(0); // SIGKILL
}

void fault_device::teardown() {
    if (daemon_ && daemon_->running()) {
        daemon_->send_signal(SIGCONT); // a stopped daemon would hang every request
        if (fault_mount_connection(mount_dir_) >= 0)
            daemon_answers(5);
    }
    loop_.reset(); // detach before unmounting: an attached loop keeps the mount busy
    unmount();
    reap_daemon();
    daemon_.reset();
    rmdir(mount_dir_.c_str());
}
