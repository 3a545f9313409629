// SPDX-License-Identifier: MIT
#pragma once

#include "support/device_gate.h"
#include "support/loop_device.h"
#include "support/process.h"

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// What the fault daemon counted on the disk file since it started (or since
// reset_stats()): requests as the loop device sent them, not program calls.
struct fault_stats {
    std::uint64_t reads = 0;         // read requests
    std::uint64_t writes = 0;        // write requests
    std::uint64_t bytes_read = 0;    // bytes returned by reads
    std::uint64_t bytes_written = 0; // bytes acknowledged by writes, stored or dropped
    std::uint64_t failed_reads = 0;  // reads failed by a rule
    std::uint64_t failed_writes = 0; // writes failed by a rule
    std::uint64_t flipped_bytes = 0; // bytes flipped in what reads returned
    std::uint64_t dropped_bytes = 0; // written bytes a rule kept from being stored
    std::uint64_t delayed = 0;       // requests that waited in a delay rule
};

// A loop device (with loop direct I/O) over the memory-backed file of a
// faultfs daemon of its own, whose reads and writes fail, flip, drop, wrap or
// wait by byte range of the device. Construction starts the daemon on a
// private mount point in SCRATCH_DIR and attaches the loop device;
// destruction detaches it, unmounts and reaps the daemon. Guard tests with
// REQUIRE_FAULT_DEVICE() first. Errors throw std::runtime_error.
//
//     REQUIRE_FAULT_DEVICE();
//     fault_device disk(4 << 20, 4096);
//     disk.fail_writes(8192, 12288, EIO);
//     ... run the program on disk.path(), expect a report at offset 8192 ...
//     EXPECT_EQ(disk.stats().failed_writes, 1u);
//
// The daemon gets SIGTERM when the thread that made the record ends: make it
// in the test's own thread.
class fault_device {
  public:
    // SIZE bytes of apparent disk (a large size costs nothing until written),
    // SECTOR_SIZE 512 or 4096, RULES as lines for the daemon's command line.
    explicit fault_device(std::uint64_t size, unsigned sector_size = 512,
                          const std::vector<std::string>& rules = {});
    ~fault_device();
    fault_device(const fault_device&) = delete;
    fault_device& operator=(const fault_device&) = delete;

    // "/dev/loopN".
    const std::string& path() const { return loop_->path(); }
    std::uint64_t size() const { return size_; }
    unsigned sector_size() const { return sector_size_; }
    // The daemon's mount point and the file the loop device is over.
    const std::string& mount_dir() const { return mount_dir_; }
    std::string disk_file() const { return mount_dir_ + "/disk"; }
    pid_t daemon_pid() const { return daemon_ ? daemon_->pid() : -1; }
    loop_device& loop() { return *loop_; }

    // Adds one rule line (see tests/support/faultfs/rules.h); throws when the
    // daemon refuses it. Rules apply at once, also while a program runs.
    void add_rule(const std::string& line);
    // Writes touching [start, end) fail with ERROR (the loop driver passes
    // ENOSPC on but turns EROFS, EDQUOT, EPERM and EINTR into EIO).
    void fail_writes(std::uint64_t start, std::uint64_t end, int error = 5);
    // Reads touching [start, end) fail with ERROR.
    void fail_reads(std::uint64_t start, std::uint64_t end, int error = 5);
    // Reads return the bytes of [start, end) inverted (XOR 0xFF).
    void flip(std::uint64_t start, std::uint64_t end);
    // Writes are acknowledged but the bytes of [start, end) are not stored.
    void drop_writes(std::uint64_t start, std::uint64_t end);
    // Only STORED bytes exist: offset X is stored at X mod STORED.
    void wrap_beyond(std::uint64_t stored);
    // Requests touching [start, end) each wait MS milliseconds first.
    void delay(std::uint64_t start, std::uint64_t end, unsigned ms);
    // Removes every rule and the wrap; wakes requests waiting in a delay.
    void clear_rules();

    fault_stats stats() const;
    void reset_stats();

    // The stored bytes, all size() of them, read from the daemon without
    // rules or wrap (what the device would hold if it had no faults).
    std::vector<unsigned char> read_all() const;
    // Writes BYTES into the stored bytes at OFFSET, without rules or counting.
    void write_stored(std::uint64_t offset, const std::vector<unsigned char>& bytes);
    // Every byte path() returns with O_DIRECT: rules apply and count.
    std::vector<unsigned char> read_device() const;

    // Aborts the FUSE connection (as if the device vanished): every pending
    // and later request fails with ENOTCONN/EIO. Teardown still works.
    void abort_connection();

  private:
    void start_daemon(const std::vector<std::string>& rules);
    void wait_mounted();
    void send(const std::string& text) const;
    bool daemon_answers(double timeout_seconds);
    void teardown();
    void unmount();
    void reap_daemon();

    std::uint64_t size_;
    unsigned sector_size_;
    std::string mount_dir_;
    std::unique_ptr<child_process> daemon_;
    int connection_ = -1; // fuse connection number of the mount
    std::unique_ptr<loop_device> loop_;
};

// The fuse connection number (minor device number) of the mount at DIR as
// /proc/self/mountinfo shows it, or -1 when nothing is mounted there.
int fault_mount_connection(const std::string& dir);
