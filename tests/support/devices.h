// SPDX-License-Identifier: MIT
// The devices tests run the program on, all made and removed by the test
// that uses them: the gate that says whether this machine has them, loop
// devices, scratch loop devices over images of their own, and fault devices
// over a FUSE daemon that injects faults by byte range.
#pragma once

#include "support/process.h"

#include <gtest/gtest.h>

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Why loop devices cannot be used here (not root, no /dev/loop-control), or
// an empty string when they can.
std::string gate_loop_devices_missing();

// Why a fault device cannot be used here (the loop reasons, no /dev/fuse, no
// fault daemon built), or an empty string when it can.
std::string gate_fault_device_missing();

// Whether a missing requirement must fail the test instead of skipping it
// (environment CI=true: CI runs as root with every tool and must run every test).
bool gate_required_by_ci();

// Skips the current test with REASON, or fails it under CI=true. Use in a test
// body or a fixture's SetUp (it returns from the calling function).
#define REQUIRE_GATE(reason_expression)                                                            \
    do {                                                                                           \
        const std::string gate_reason_ = (reason_expression);                                      \
        if (!gate_reason_.empty()) {                                                               \
            if (gate_required_by_ci())                                                             \
                FAIL() << gate_reason_ << " (CI=true: this test must run, not skip)";              \
            GTEST_SKIP() << gate_reason_;                                                          \
        }                                                                                          \
    } while (0)

#define REQUIRE_LOOP_DEVICES() REQUIRE_GATE(gate_loop_devices_missing())
#define REQUIRE_FAULT_DEVICE() REQUIRE_GATE(gate_fault_device_missing())

// One loop device attached by this process over a backing file, detached when
// the record goes away. It is attached with LO_FLAGS_AUTOCLEAR while the
// record holds one plain descriptor to it, so the kernel detaches it by
// itself if the test process dies. Used by scratch_device and fault_device.
class loop_device {
  public:
    // Attaches BACKING (an existing file) with LOOP_CTL_GET_FREE and
    // LOOP_CONFIGURE, retrying when a racer takes the same free device.
    // SECTOR_SIZE is the logical block size (512, 1024, 2048 or 4096);
    // DIRECT_IO asks for LO_FLAGS_DIRECT_IO (see direct_io_active()).
    // OFFSET and SIZE_LIMIT (0: to the end) choose the bytes of BACKING it
    // shows; PARTITIONS lets partitions be added to it (LO_FLAGS_PARTSCAN).
    // Throws std::runtime_error on failure.
    loop_device(const std::string& backing, unsigned sector_size, bool direct_io,
                std::uint64_t offset = 0, std::uint64_t size_limit = 0, bool partitions = false);
    ~loop_device();
    loop_device(const loop_device&) = delete;
    loop_device& operator=(const loop_device&) = delete;

    // "/dev/loopN".
    const std::string& path() const { return path_; }
    // N.
    int number() const { return number_; }
    // The canonical path of the backing file, as sysfs shows it.
    const std::string& backing() const { return backing_; }
    // Whether /sys/block/loopN/loop/dio says 1.
    bool direct_io_active() const;

    // Throws unless /sys/block/loopN/loop/backing_file still names our
    // backing file and /sys/block/loopN/diskseq is still that of our attach.
    // Call before writing to the device.
    void check_owner() const;

    // Whether sysfs still shows this attachment (false once it is detached,
    // even if someone else attached the same number since).
    bool attached() const;

    // LOOP_CLR_FD, close our descriptor and wait up to TIMEOUT_SECONDS until
    // the kernel has let go. Gives whether it has; a descriptor held by
    // someone else defers the detach to its close. Safe to call twice.
    bool detach(double timeout_seconds = 5);

  private:
    std::string sysfs(const std::string& name) const;

    std::string backing_;
    std::string path_;
    std::string diskseq_;
    int number_ = -1;
    int fd_ = -1;
};

// A loop device over a sparse scratch image of its own in SCRATCH_DIR.
// Construction makes the image and attaches it; destruction detaches the
// device and removes the image, also when the test failed or threw. Guard
// tests with REQUIRE_LOOP_DEVICES() first. Errors throw std::runtime_error.
//
//     REQUIRE_LOOP_DEVICES();
//     scratch_device disk(1 << 20, 4096);
//     disk.fill(0xAA);
//     ... run the program on disk.path() ...
//     EXPECT_EQ(disk.read_all(), expected);
class scratch_device {
  public:
    // SIZE bytes of image (0 and sizes that are not a multiple of the sector
    // size are fine; the kernel rounds the device down to 512-byte units).
    // PARTITIONS: partitions may be added to it (addpart).
    explicit scratch_device(std::uint64_t size, unsigned sector_size = 512,
                            bool partitions = false);
    ~scratch_device() = default;
    scratch_device(const scratch_device&) = delete;
    scratch_device& operator=(const scratch_device&) = delete;

    // "/dev/loopN".
    const std::string& path() const { return loop_.path(); }
    // The image size asked for, in bytes.
    std::uint64_t size() const { return image_.size; }
    // The size the kernel gives the device (BLKGETSIZE64), in bytes.
    std::uint64_t device_size() const;
    unsigned sector_size() const { return sector_size_; }
    // The attachment itself (detach() early, attached()).
    loop_device& loop() { return loop_; }

    // Every byte the device returns, read through path() with O_DIRECT.
    std::vector<unsigned char> read_all() const;
    // Writes BYTE over the whole device with O_DIRECT, after checking that
    // the device is still ours.
    void fill(unsigned char byte);

  private:
    struct image_file {
        explicit image_file(std::uint64_t bytes);
        ~image_file();
        image_file(const image_file&) = delete;
        image_file& operator=(const image_file&) = delete;
        std::string path;
        std::uint64_t size;
    };

    unsigned sector_size_;
    image_file image_;
    loop_device loop_;
};

// Where scratch images and mount points live (created on first use).
const std::string& scratch_dir();

// A new unique path in scratch_dir(): "<dir>/<stem>-<pid>-<counter><suffix>".
std::string scratch_name(const std::string& stem, const std::string& suffix = "");

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
    std::uint64_t flushes = 0;       // fsyncs of the disk file: each fsync or fdatasync of
                                     // the loop device (attaching it makes one too)
};

// A loop device (with loop direct I/O) over the memory-backed file of a
// faultfs daemon of its own, whose reads and writes fail, flip, drop or
// wait by byte range of the device, and which can act as a device that
// lies: stuck bits, writes lost after a while, fake capacity, a cache that
// loses writes. Construction starts the daemon on a
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
    // Requests touching [start, end) each wait MS milliseconds first.
    void delay(std::uint64_t start, std::uint64_t end, unsigned ms);
    // Bytes stored into [start, end) lose the bits set in MASK (0x80: bit 7
    // stuck at 0), as behind a broken data line.
    void stick_bits(std::uint64_t start, std::uint64_t end, unsigned char mask);
    // Once BYTES bytes have been written from now on, writes are acknowledged
    // in full and nothing more is stored (flash gone read-only).
    void drop_writes_after(std::uint64_t bytes);
    // Only REAL_SIZE bytes exist (a multiple of 512): byte X is stored at and
    // read from X mod REAL_SIZE, a fake capacity.
    void wrap_at(std::uint64_t real_size);
    // A drive cache that keeps only the latest BYTES bytes of writes (whole
    // requests, oldest out first) and never stores them: reads see it where
    // it holds the bytes, else the stored bytes; a write pushed out of it is
    // lost, and a flush stores nothing. The bytes lost count as dropped_bytes.
    void lying_cache(std::uint64_t bytes);
    // Removes every rule (what a lying cache holds is lost); wakes requests
    // waiting in a delay.
    void clear_rules();

    fault_stats stats() const;
    void reset_stats();

    // The stored bytes, all size() of them, read from the daemon without
    // rules (what the device would hold if it had no faults).
    std::vector<unsigned char> read_all() const;
    // Writes BYTES into the stored bytes at OFFSET, without rules or counting.
    void write_stored(std::uint64_t offset, const std::vector<unsigned char>& bytes);

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
