// SPDX-License-Identifier: MIT
#include "cli/options.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

// glibc's getopt moves operands behind the options unless told otherwise with a
// leading '+'; the BSDs stop at the first operand already.
#ifdef __GLIBC__
constexpr char option_letters[] = "+b:w:n:zhyr";
#else
constexpr char option_letters[] = "b:w:n:zhyr";
#endif

// Converts the leading decimal number of text; stores it, truncated, in *field
// right away. Returns false when the number is negative or too large to hold.
bool convert(const char* text, uint32_t* field, char** rest) {
    errno = 0;
    long value = std::strtol(text, rest, 10);
    bool overflow = errno == ERANGE;
    *field = static_cast<uint32_t>(value);
    return !overflow && value >= 0 && value <= largest_value;
}

} // namespace

int parse_size(const char* text, uint32_t* field) {
    char* rest = nullptr;
    bool in_range = convert(text, field, &rest);
    if (*field == 0 || !in_range)
        return parse_invalid;
    int shift = 0;
    if (rest[0] != '\0') {
        if (rest[1] != '\0')
            return parse_invalid;
        switch (rest[0]) {
        case 'k':
        case 'K':
            shift = 10;
            break;
        case 'm':
        case 'M':
            shift = 20;
            break;
        default:
            return parse_unknown_suffix;
        }
    }
    if (*field > (largest_block_size >> shift))
        return parse_invalid;
    *field <<= shift;
    return parse_ok;
}

int parse_count(const char* text, uint32_t* field) {
    char* rest = nullptr;
    bool in_range = convert(text, field, &rest);
    if (*field == 0 || !in_range || rest[0] != '\0')
        return parse_invalid;
    return parse_ok;
}

int read_options(int argc, char** argv, run_settings* settings) {
    int letter;
    while ((letter = getopt(argc, argv, option_letters)) != -1) {
        switch (letter) {
        case 'b':
            switch (static_cast<parse_result>(parse_size(optarg, &settings->block_size))) {
            case parse_ok:
                break;
            case parse_unknown_suffix:
                return options_unknown_suffix;
            case parse_invalid:
                return options_bad_block_size;
            }
            if (settings->block_size & 511)
                return options_block_not_multiple_of_512;
            break;
        case 'w':
            if (parse_count(optarg, &settings->workers) != parse_ok)
                return options_bad_workers;
            break;
        case 'n':
            if (parse_count(optarg, &settings->passes) != parse_ok)
                return options_bad_passes;
            break;
        case 'y':
            settings->skip_confirmation = true;
            break;
        case 'z':
            settings->zero_fill = true;
            break;
        case 'r':
            settings->read_back = true;
            break;
        case 'h':
            return options_help;
        default:
            return options_usage;
        }
    }
    return options_ok;
}
