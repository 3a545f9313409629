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
//   stuck START END MASK         bytes stored into the range lose the bits of
//                                MASK (1-255): a data line stuck at 0
//   drop-after BYTES             once BYTES bytes have been written (counted
//                                from this line), writes are acknowledged in
//                                full and nothing more is stored: flash gone
//                                read-only
//   wrap REAL                    only REAL bytes exist (a multiple of 512):
//                                byte X is stored at and read from X mod REAL,
//                                a fake capacity
//   lying-cache BYTES            every write goes into a cache of the latest
//                                BYTES bytes of writes (whole requests, oldest
//                                out first) and is never stored: reads see the
//                                cache where it holds the bytes (newest first),
//                                else the stored bytes; a write pushed out is
//                                lost and a flush stores nothing
//   clear                        remove every rule (and what a cache holds)
//   reset-stats                  set every counter to 0
//
// A later drop-after, wrap or lying-cache replaces one set before it; the
// rule then starts afresh (counting from 0, an empty cache). A write passes
// the lying cache first; what would be stored then loses the ranges of
// drop-write and what is past the drop-after count, the stuck bits, and is
// stored at its wrapped address.
//
// Numbers are decimal or 0x hexadecimal; '#' starts a comment.

enum rule_kind {
    rule_fail_write,
    rule_fail_read,
    rule_flip,
    rule_drop_write,
    rule_delay,
    rule_stuck,
    rule_drop_after,
    rule_wrap,
    rule_lying_cache,
};

struct fault_rule {
    rule_kind kind;
    std::uint64_t start; // first byte of the range
    std::uint64_t end;   // one past the last byte of the range
    int error;           // errno for the fail rules
    unsigned delay_ms;   // milliseconds for delay rules
    unsigned char mask;  // bits stored as 0 for stuck rules
    std::uint64_t bytes; // the size of drop-after, wrap and lying-cache rules
};

enum command_kind { command_none, command_rule, command_clear, command_reset_stats };

struct rule_command {
    command_kind kind = command_none; // command_none: empty line or comment
    fault_rule rule{};                // for command_rule
};

// Parses one line into COMMAND; gives an empty string or why the line is wrong.
std::string rules_parse_line(const std::string& line, rule_command& command);

// Whether rules of KIND act on the whole disk rather than on a range of it
// (drop-after, wrap, lying-cache).
inline bool rule_is_whole_disk(rule_kind kind) {
    return kind == rule_drop_after || kind == rule_wrap || kind == rule_lying_cache;
}

// Whether RULE's range overlaps [start, start + length).
inline bool rule_touches(const fault_rule& rule, std::uint64_t start, std::uint64_t length) {
    return length > 0 && rule.start < start + length && start < rule.end;
}
