// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>

// What a run that reached its end did, for its last line.
struct run_summary {
    uint32_t passes_done;   // passes that ended without an interrupt
    uint32_t passes;        // passes asked for
    int read_back;          // a read_back_state
    int64_t verified_bytes; // over every pass and the read-back
    int64_t seconds;        // whole seconds from the first pass's start to the end
    int64_t mismatched;     // blocks reported as not matching
};

enum read_back_state {
    read_back_none = 0,        // not asked for
    read_back_done = 1,        // every block read back
    read_back_interrupted = 2, // an interrupt came before the read-back ended
};

// Room for the longest summary and the terminating NUL.
inline constexpr size_t summary_size = 200;

// Writes "Summary: ..." with its line feed into line; returns its length.
int format_summary(char* line, const run_summary& summary);
