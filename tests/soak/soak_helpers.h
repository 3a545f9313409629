// SPDX-License-Identifier: MIT
// What the soak tests share: the arrival time of every byte of a running
// program's stderr, checking that a run left nothing behind, and a large
// device's content read a chunk at a time.
#pragma once

#include "support/process.h"
#include "support/run_output.h"

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// How often NEEDLE occurs in TEXT (not overlapping).
std::size_t count_of(const std::string& text, const std::string& needle);

// A child run whose stderr bytes carry the time they arrived (5 ms steps).
struct timed_run {
    child_result result;
    double started = 0;                       // io_now() at the start
    std::vector<double> times;                // times[k]: when stderr had grown to sizes[k] bytes
    std::vector<std::size_t> sizes;           // growing
    double arrival(std::size_t offset) const; // when byte OFFSET of stderr arrived
};

// Keeps collecting a running child's output, noting when stderr grew, for
// SECONDS or until it ends; gives whether it is still running.
bool watch_child(child_process& child, double seconds, std::vector<double>& times,
                 std::vector<std::size_t>& sizes);

// Paths of the open descriptors of this process, and the processes other
// than this one that hold PATH open.
std::vector<std::string> own_descriptors();
std::vector<pid_t> holders_of(const std::string& path);
// The processes whose parent is this process.
std::vector<pid_t> own_children();

// The byte with which the tests fill a device before a run: not a byte the
// program writes (its test data is 0..127).
constexpr unsigned char untouched_byte = 0xEE;

class fault_device;

// What a fault device consists of, noted while it exists, to show after its
// teardown that none of it is left.
struct device_trace {
    std::string loop_path;  // /dev/loopN
    std::string loop_sysfs; // /sys/block/loopN
    std::string diskseq;    // of our attachment
    std::string mount_dir;  // the daemon's mount point
    pid_t daemon = -1;
};
device_trace trace_of(const fault_device& device);

// While the device exists and the program has ended: which processes other
// than this one and the daemon hold the device or are our children. Empty
// when nothing is left over.
std::string leftovers_while_attached(const device_trace& trace);
// After the device's teardown: an attachment, a mount, a mount point or a
// daemon still there. Empty when nothing is left over.
std::string leftovers_after_teardown(const device_trace& trace);
