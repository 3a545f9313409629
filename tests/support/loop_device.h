// SPDX-License-Identifier: MIT
#pragma once

#include <string>

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
    // Throws std::runtime_error on failure.
    loop_device(const std::string& backing, unsigned sector_size, bool direct_io);
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
