// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

// What a worker does to the pool's shared state; each is one short locked
// section or one lock-free read.

// True once a stop has been asked for.
bool pool_stop_is_requested();

// True when the pass has verified more than disk_size bytes; the count is
// then set to disk_size.
bool pool_clamp_verified(int64_t disk_size);

// Adds one block's bytes to the pass's count; a block that did not match is
// also counted for the run.
void pool_add_verified(int64_t bytes, bool mismatched);

// The worker's last touch of shared state: one less active worker.
void pool_count_out();

// The thread body of every worker; the argument is its worker_slot.
void* worker_main(void* slot);
