// SPDX-License-Identifier: MIT
// Running the built program and reading what it did: the progress display
// and the messages on standard error, checked against the run, and what a
// run left on the device.
#pragma once

#include "support/process.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One progress line as the program drew it.
struct drawn_line {
    bool read_back = false; // "read-back: ..." after the last pass (pass and passes are 0)
    int pass = 0;           // the pass field, before the slash
    int passes = 0;         // after the slash
    long megabytes = 0;     // verified: N MB
    long percent = 0;       // completed: N%
    std::string eta;        // the text after "ETA: "
    std::string text;       // the line from "pass:" up to its closing carriage return
    std::size_t index = 0;  // position among the drawn lines
    std::size_t at = 0;     // byte offset in stderr of its line erase
};

// Standard error of a run, cut at the line erase ESC [ 2 K and the carriage
// return that begin every progress line.
struct run_stderr {
    std::vector<drawn_line> lines;
    // Text that belongs to no progress line (reports, messages, the abort
    // notice), each with the number of progress lines drawn before it.
    struct other_text {
        std::size_t after_lines;
        std::string text;
    };
    std::vector<other_text> others;
    // Pieces that follow a line erase but are not a well-formed progress line.
    std::vector<std::string> malformed;
    // The line that names the device before the question or the first pass
    // ("PATH: N bytes (X GB)..."), and the summary at the end of a run, each
    // without its line feed and (the summary) the line erase before it on a
    // terminal; empty when there was none. Neither is among the others.
    std::string device_line;
    std::string summary;

    // Every other text joined, in order.
    std::string other_joined() const;
    // The lines of pass P, in order.
    std::vector<drawn_line> lines_of_pass(int pass) const;
    // The distinct pass fields in the order they appeared.
    std::vector<int> passes_in_order() const;
    // How many progress lines came after the first other text containing TEXT,
    // or -1 when none contains it.
    long lines_after(const std::string& text) const;
};

// Parses standard error strictly: a progress line must read
// "pass: %d/%d, verified: %ld MB, completed: %ld%%, ETA: %s\r" (or, after the
// last pass, "read-back: verified: ...") right after the erase, with plain
// decimal numbers and an estimate in one of its shapes.
run_stderr parse_run_stderr(const std::string& err);

// Every piece parsed; every pass field over PASSES, from 1 to PASSES and
// never backwards, read-back lines only after them; within a pass the counts
// never fall; the percentage from 0 to 100; and each line's megabytes and
// percentage come from one byte count on a device of DISK_SIZE bytes.
testing::AssertionResult progress_fits_run(const run_stderr& parsed, int passes,
                                           std::int64_t disk_size);

// SUMMARY (run_stderr::summary) is well formed, begins with "Summary: " and
// PASSES (such as "2 of 2 passes, read-back done"), gives MEGABYTES (any
// when negative) and MISMATCHED blocks, and its speed is the megabytes over
// its whole seconds.
testing::AssertionResult summary_says(const std::string& summary, const std::string& passes,
                                      std::int64_t megabytes, std::int64_t mismatched);

// BYTES hold copies of one block of BLOCK_SIZE bytes from start to end (a
// shorter last block is the first block's beginning). With ZERO every byte
// is 0; otherwise the block is no constant fill but varied data.
testing::AssertionResult holds_copies_of_one_block(const std::vector<unsigned char>& bytes,
                                                   std::size_t block_size, bool zero);

// Reads SIZE bytes of a device with O_DIRECT, a chunk at a time, and checks
// that every BLOCK-sized block equals the first one, that every byte is at
// most LARGEST and, unless ZERO_ALLOWED, that the first block is not all
// zero; gives an empty string or what differed. For devices too large to
// hold in memory at once.
std::string check_uniform_blocks(const std::string& path, std::uint64_t size, std::uint32_t block,
                                 unsigned char largest, bool zero_allowed);

// How many bytes of BYTES still hold BYTE.
std::size_t count_of_byte(const std::vector<unsigned char>& bytes, unsigned char byte);

// Child options for a run of the built program: TIMEOUT_SECONDS, and under
// ThreadSanitizer no pause at the end of the process, which the runtime adds
// by default when other threads still run; _exit from a worker would
// otherwise leave the process drawing and writing for another second.
child_options program_options(double timeout_seconds = 60);

// Runs the built program with ARGS.
child_result run_platterfell(const std::vector<std::string>& args,
                             const child_options& options = program_options());

// The built program's command line with ARGS.
std::vector<std::string> program_command(const std::vector<std::string>& args);

// "exit status 1; stdout: ...; stderr: ..." with the control bytes shown
// escaped, for assertion messages.
std::string describe_run(const child_result& run);

// TEXT with control bytes written as \r, \n, \e or \xNN.
std::string escaped(const std::string& text);

// The sanitizer this build (the program's too) runs under: "AddressSanitizer",
// "ThreadSanitizer", or an empty string.
std::string sanitizer_build();
