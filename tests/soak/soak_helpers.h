// SPDX-License-Identifier: MIT
// What the soak tests share: reading the program's standard error apart into
// progress lines and other text, running it with the arrival time of every
// byte, checking that a run left nothing behind, and recording the figures
// that the summary prints after the last test.
#pragma once

#include "support/process.h"

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// One redraw of the progress line, as parsed from its exact format.
struct progress_line {
    unsigned pass = 0;
    unsigned passes = 0;
    std::int64_t megabytes = 0;
    std::int64_t percent = 0;
    std::string eta;
    std::size_t at = 0; // byte offset in stderr where it begins
};

// A piece of stderr that is not a progress line (a report, a message, the
// abort notice, the prompt and its answer).
struct stderr_text {
    std::string text;
    std::size_t at = 0;
};

struct parsed_stderr {
    std::vector<progress_line> lines;
    std::vector<stderr_text> texts; // in order, never empty pieces
    std::string malformed;          // why a line that starts like a progress line is not one
    std::string other() const;      // every text piece, joined
};

// Splits stderr at every progress line; a piece that begins with the line's
// erase sequence but is not a whole line of the exact format is malformed.
parsed_stderr parse_stderr(const std::string& err);

// TEXT cut into lines, each with its "\n"; a last piece without one is kept as it is.
std::vector<std::string> split_lines(const std::string& text);

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

// Runs ARGV to its end (at most TIMEOUT seconds), noting when stderr grew.
timed_run run_timed(const std::vector<std::string>& argv, double timeout_seconds,
                    const child_options& options = {});

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

// The sanitizer this test binary (and so the whole build) was made with, or
// an empty string.
std::string sanitizer_build();

// The byte with which the tests fill a device before a run: not a byte the
// program writes (its test data is 0..127).
constexpr unsigned char untouched_byte = 0xEE;

// Checks that BYTES holds the run's test block in every block in [FROM, TO)
// (block-aligned copies, the last one possibly short) with BLOCK (its first
// BLOCK_SIZE bytes); gives the first offset that differs, or -1.
std::int64_t first_difference(const std::vector<unsigned char>& bytes, std::uint64_t from,
                              std::uint64_t to, const std::vector<unsigned char>& block);

// Reads SIZE bytes of a device with O_DIRECT, a chunk at a time, and checks
// that every BLOCK-sized block equals the first one, that every byte is at
// most LARGEST and, unless ZERO_ALLOWED, that the first block is not all
// zero; gives an empty string or what differed. For devices too large to
// hold in memory at once.
std::string check_uniform_blocks(const std::string& path, std::uint64_t size, std::uint32_t block,
                                 unsigned char largest, bool zero_allowed);

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
