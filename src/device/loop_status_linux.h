// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What a loop device said it is set up over.
struct loop_status {
    std::string node;        // "/dev/loopN"
    bool answered = false;   // false: it could not be asked, or did not answer in time
    uint64_t device = 0;     // its own device number, once answered
    uint64_t backing = 0;    // the backing file's device number if a block device, else 0
    uint64_t offset = 0;     // where it starts in the backing file
    uint64_t size_limit = 0; // how many bytes it shows; 0: up to the backing file's end
};

// Asks every loop device that is set up, each in a child process: the
// request looks up the backing file, which a hung file system (FUSE) may
// never answer. Waits at most 2 seconds for all of them, and names each that
// has not answered by then on standard error.
std::vector<loop_status> ask_loop_devices();
