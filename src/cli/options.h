// SPDX-License-Identifier: MIT
#pragma once

#include "cli/run_settings.h"

#include <cstdint>

// Result codes of parse_size and parse_count.
enum parse_result {
    parse_ok = 0,
    parse_unknown_suffix = 1, // one trailing character that is no unit (parse_size only)
    parse_invalid = 2,        // zero, trailing characters, or a number out of range
};

// The largest count the rest of the program can hold.
inline constexpr int64_t largest_value = 2147483647;

// The largest block: Linux moves at most this many bytes in one read or
// write (0x7FFFF000), and a block cut short there would go untested.
inline constexpr int64_t largest_block_size = 2147479552;

// Converts a block size with an optional k/K or m/M suffix into *field; at
// most largest_block_size after the suffix.
int parse_size(const char* text, uint32_t* field);

// Converts a plain decimal count into *field.
int parse_count(const char* text, uint32_t* field);

// What the option stage decided; each value but options_ok ends the process.
enum option_outcome {
    options_ok = 0,         // the options are read; optind is at the first operand
    options_help,           // -h: usage, status 0
    options_usage,          // an unknown option or a missing value: usage, status 1
    options_unknown_suffix, // -b with a unit that is not k or m
    options_bad_block_size, // -b value invalid
    options_block_not_multiple_of_512,
    options_bad_workers,
    options_bad_passes,
};

// Reads the options into *settings, in the order given, stopping at the first
// bad value and at the first operand. Leaves optind at the first operand.
int read_options(int argc, char** argv, run_settings* settings);
