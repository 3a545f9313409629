// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The fault rules of the faultfs daemon, and the text lines that set them.
// Ranges are [start, end) in bytes of the disk file, which is what the loop
// device sees.
//
//   fail-write START END ERRNO   a write touching the range fails with ERRNO
//   fail-read START END ERRNO    a read touching the range fails with ERRNO
//   flip START END               a read returns the range's bytes XOR 0xFF
//   drop-write START END         a write is acknowledged, the range not stored
//   delay START END MS           a request touching the range waits MS ms
//   clear                        remove every rule
//   reset-stats                  set every counter to 0
//
// Numbers are decimal or 0x hexadecimal; '#' starts a comment.

enum rule_kind { rule_fail_write, rule_fail_read, rule_flip, rule_drop_write, rule_delay };

struct fault_rule {
    rule_kind kind;
    std::uint64_t start; // first byte of the range
    std::uint64_t end;   // one past the last byte of the range
    int error;           // errno for the fail rules
    unsigned delay_ms;   // milliseconds for delay rules
};

enum command_kind { command_none, command_rule, command_clear, command_reset_stats };

struct rule_command {
    command_kind kind = command_none; // command_none: empty line or comment
    fault_rule rule{};                // for command_rule
};

// Parses one line into COMMAND; gives an empty string or why the line is wrong.
std::string rules_parse_line(const std::string& line, rule_command& command);

// Whether RULE's range overlaps [start, start + length).
inline bool rule_touches(const fault_rule& rule, std::uint64_t start, std::uint64_t length) {
    return length > 0 && rule.start < start + length && start < rule.end;
}
