// SPDX-License-Identifier: MIT
#pragma once

#include "device/identity.h"

#include <cstdint>

// The validated option values and device facts handed to the run sequence.
struct run_settings {
    uint32_t block_size = 4096;        // bytes written, read back and compared in one step
    uint32_t workers = 4;              // number of worker threads
    uint32_t passes = 1;               // number of write+verify passes
    uint32_t sector_size = 0;          // logical sector size; also the alignment of data buffers
    int64_t disk_size = 0;             // size of the device in bytes
    bool skip_confirmation = false;    // -y: do not ask before destroying the data
    bool zero_fill = false;            // -z: write zero-filled blocks instead of random data
    bool read_back = false;            // -r: read the whole device back after the last pass
    const char* device_path = nullptr; // borrowed from the argument vector
    device_identity device;            // the device checked at start-up; every open must reach it
    int kept_fd = -1;                  // the claim's descriptor, open until the process ends
};
