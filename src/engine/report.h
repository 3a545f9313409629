// SPDX-License-Identifier: MIT
#pragma once

// Writes a message that may come while a progress line is on the screen to
// standard error, from any thread. On a terminal the line is erased first
// (ESC [ 2 K; the cursor already rests at its start), so that no digits of a
// longer progress line stay visible behind the message. To a pipe or a file
// only the message is written.
void report(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Reports a failure as report() does and ends the process with status 1 at
// once, from any thread: other workers may be in the middle of a block, so
// nothing is torn down. When several threads fail at the same time, only the
// first one's message is written.
[[noreturn]] void fail_process(const char* format, ...) __attribute__((format(printf, 1, 2)));
