// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>

inline constexpr size_t error_text_size = 256;

// Writes the system's text for error number err into buffer (error_text_size
// bytes, zero-filled first) and returns buffer. Safe on any thread.
const char* error_text(int err, char* buffer);
