// SPDX-License-Identifier: MIT
// What the start-up, prompt and in-use tests of the built binary share: the
// texts the program must print, typed out here, and a few small records.
#pragma once

#include "support/process.h"
#include "support/run_output.h"
#include "support/devices.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

// The usage text, 776 bytes.
inline const std::string expected_usage =
    "platterfell - Multi-threaded disk testing utility, v1.4.0\n"
    "\n"
    "Usage: platterfell [OPTIONS] DEVICE\n"
    "\n"
    "Options:\n"
    "  -h               - Print help and exit\n"
    "  -w <workers>     - Number of parallel worker threads (default: 4)\n"
    "  -n <passes>      - Number of write+verify passes to perform (default: 1)\n"
    "  -b <blocksize>   - Block size for write operations (default: 4096)\n"
    "                     Supports k and m suffixes (e.g., 64k, 1m, 32m)\n"
    "  -y               - Skip confirmation prompt and start immediately\n"
    "                     This will destroy all data on the target disk\n"
    "  -z               - Write zero-filled blocks instead of random data\n"
    "  -r               - Read the whole device back after the last pass\n"
    "                     Finds fake capacity and writes lost in the drive's cache\n";

// The confirmation prompt, 72 bytes, as written to a pipe.
inline const std::string expected_prompt =
    "WARNING: All data on the target disk will be destroyed!\nContinue? (y/n):";

// The same prompt as a terminal shows it (the line end becomes "\r\n").
inline const std::string expected_prompt_on_terminal =
    "WARNING: All data on the target disk will be destroyed!\r\nContinue? (y/n):";

// The line that names a scratch loop device before the question or the
// first pass, with its line feed, naming it by PATH (its own when empty).
// The scratch devices of these tests are all under 50 MB: 0.0 GB.
inline std::string expected_device_line(scratch_device& disk, const std::string& path = "") {
    EXPECT_LT(disk.device_size(), 50000000u);
    return (path.empty() ? disk.path() : path) + ": " + std::to_string(disk.device_size()) +
           " bytes (0.0 GB), backing file " + disk.loop().backing() + "\n";
}

// N copies of BYTE, to compare a device's content with.
inline std::vector<unsigned char> bytes_of(std::size_t count, unsigned char byte) {
    return std::vector<unsigned char>(count, byte);
}

// A symbolic link in the scratch folder, removed when the record goes away.
class scratch_symlink {
  public:
    explicit scratch_symlink(const std::string& target) : path_(scratch_name("link")) {
        if (symlink(target.c_str(), path_.c_str()) != 0)
            throw std::runtime_error("cannot make the symlink " + path_);
    }
    ~scratch_symlink() { unlink(path_.c_str()); }
    scratch_symlink(const scratch_symlink&) = delete;
    scratch_symlink& operator=(const scratch_symlink&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// SOURCE mounted as FSTYPE (with mount DATA and FLAGS, such as MS_BIND) on a
// new folder in the scratch folder; unmounted and the folder removed when
// the record goes away, whatever the test did.
class scratch_mount {
  public:
    scratch_mount(const std::string& source, const std::string& fstype,
                  const std::string& data = "", unsigned long flags = 0)
        : dir_(scratch_name("mount")) {
        if (mkdir(dir_.c_str(), 0700) != 0)
            throw std::runtime_error("cannot make the mount point " + dir_);
        if (mount(source.c_str(), dir_.c_str(), fstype.c_str(), flags,
                  data.empty() ? nullptr : data.c_str()) != 0) {
            const std::string reason = std::strerror(errno);
            rmdir(dir_.c_str());
            throw std::runtime_error("cannot mount " + source + " on " + dir_ + ": " + reason);
        }
    }
    ~scratch_mount() {
        if (umount2(dir_.c_str(), 0) != 0)
            umount2(dir_.c_str(), MNT_DETACH);
        rmdir(dir_.c_str());
    }
    scratch_mount(const scratch_mount&) = delete;
    scratch_mount& operator=(const scratch_mount&) = delete;
    const std::string& dir() const { return dir_; }

  private:
    std::string dir_;
};

// Whether the child PID is still running, without reaping it (the rig's
// records reap it later).
inline bool still_running(pid_t pid) {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return false;
    return info.si_pid == 0;
}
