// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// Small file and error helpers shared by the test rig. Failures throw
// std::runtime_error naming the path and the system error; GoogleTest reports
// an exception thrown in a test body as a failure of that test.

// Throws "WHAT PATH: strerror(errno)" (errno as it is on entry).
[[noreturn]] void io_fail(const std::string& what, const std::string& path);

// The whole content of a small text file (sysfs, procfs); throws when it cannot be read.
std::string io_read_text(const std::string& path);

// Like io_read_text but gives an empty string when the file cannot be opened.
std::string io_read_text_or_empty(const std::string& path);

// Text with trailing white space removed.
std::string io_trim(const std::string& text);

// Creates a folder and its parents (0755); existing ones are fine.
void io_make_dirs(const std::string& path);

// Reads a file or device from offset 0 to the end with O_DIRECT, in
// page-aligned chunks of whole sectors; a short read ends it. Gives exactly
// the bytes returned: on a device whose size is not a multiple of its sector
// size, the partial last sector (which O_DIRECT refuses with EINVAL) is left out.
std::vector<unsigned char> io_read_direct(const std::string& path);

// Writes BYTE over the first SIZE bytes of a device with O_DIRECT, in whole
// sectors, and fsyncs; throws on any error. A partial last sector (a device
// size not a multiple of its sector size) is left as it is: O_DIRECT refuses it.
void io_fill_direct(const std::string& path, std::uint64_t size, unsigned char byte);

// Reads a regular file with plain reads.
std::vector<unsigned char> io_read_file(const std::string& path);

// Writes BYTES at OFFSET of an existing file with plain pwrite.
void io_write_file(const std::string& path, std::uint64_t offset,
                   const std::vector<unsigned char>& bytes);

// Where the tests record the figures that the soak summary prints after the
// last of them: <build>/soak-results.
std::string results_dir();
// Appends one line (a "\n" is added) to results_dir()/FILE, atomically
// with respect to the other test processes.
void record_result(const std::string& file, const std::string& line);

// Seconds since an arbitrary fixed point (steady clock).
double io_now();

// Waits until TEXT appears in OUTPUT after FROM (then moves FROM past it),
// calling PUMP(seconds) to collect more output; false once ENDED() says the
// child is gone or the time runs out first. Shared by the child and pty runners.
template <class Pump, class Ended>
bool io_wait_for_text(const std::string& output, std::size_t& from, const std::string& text,
                      double timeout_seconds, double step_seconds, Pump pump, Ended ended) {
    const double deadline = io_now() + timeout_seconds;
    for (;;) {
        const std::size_t found = output.find(text, from);
        if (found != std::string::npos) {
            from = found + text.size();
            return true;
        }
        if (ended())
            return false;
        const double left = deadline - io_now();
        if (left <= 0)
            return false;
        pump(left < step_seconds ? left : step_seconds);
    }
}
