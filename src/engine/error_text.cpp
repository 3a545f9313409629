// SPDX-License-Identifier: MIT
#include "engine/error_text.h"

#include <cstdio>
#include <cstring>

namespace {

// strerror_r comes in two kinds: the POSIX one fills the buffer and returns
// 0, glibc's default one returns a pointer that need not be the buffer.
// Overloading on the result type picks the right handling for either.
[[maybe_unused]] void take_result(int result, int err, char* buffer) {
    if (result != 0)
        snprintf(buffer, error_text_size, "Unknown error %d", err);
}

[[maybe_unused]] void take_result(const char* text, int, char* buffer) {
    if (text != buffer)
        snprintf(buffer, error_text_size, "%s", text);
}

} // namespace

const char* error_text(int err, char* buffer) {
    memset(buffer, 0, error_text_size);
    take_result(strerror_r(err, buffer, error_text_size - 1), err, buffer);
    return buffer;
}
