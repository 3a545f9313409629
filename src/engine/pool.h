// SPDX-License-Identifier: MIT
#pragma once

#include "device/identity.h"

#include <cstdint>

// What the blocks hold besides the test block itself.
struct block_marks {
    bool complement_even_passes; // even passes write the test block's bitwise complement
    bool stamped;                // every 512-byte sector begins with a stamp (stamp.h)
    uint32_t run_tag;            // the stamp's random half, drawn once per run
};

// The one description of the job that every worker of every pass reads.
struct job_config {
    const char* device_path;   // borrowed from the command line, never freed here
    unsigned char* pattern;    // block_size bytes aligned to sector_size; owned by the pool
    int64_t blocks_per_worker; // blocks in every stripe: span / block_size
    int64_t disk_size;         // size of the device in bytes
    uint32_t block_size;       // bytes per write
    uint32_t sector_size;      // the alignment of every data buffer
    device_identity device;    // the device checked at start-up: the only one a worker writes
    block_marks marks;
};

// One worker's start record.
struct worker_slot {
    int64_t start_offset;  // byte offset at which the worker's stripe begins
    uint32_t pass;         // from 1; what the blocks of the stripe hold depends on it
    bool read_back;        // read and compare what pass PASS wrote, write nothing
    const job_config* job; // the shared job; not owned
};

enum pool_result {
    pool_ok = 0,
    pool_no_memory = 1,
    pool_thread_error = 2, // the thread library's code is in pool_last_error()
};

// Bytes per stripe: total / workers raised to a multiple of block_size.
int64_t span_per_worker(int64_t total, uint32_t block_size, uint32_t workers);

// Prepares the pool once. On pool_ok the pool owns pattern; otherwise the
// caller still does. Every worker's open of device_path must reach DEVICE.
int pool_init(uint32_t worker_count, const char* device_path, const device_identity& device,
              int64_t disk_size, uint32_t block_size, uint32_t sector_size, unsigned char* pattern,
              const block_marks& marks);

// Starts pass PASS (from 1): resets the pass's count, turns the test block
// into what this pass writes, and starts one detached worker per stripe.
int pool_start(uint32_t pass);

// Starts the read-back of what pass LAST_PASS wrote: the same stripes, each
// block read and compared, nothing written.
int pool_start_read_back(uint32_t last_pass);

// True while a worker of the current pass has not counted itself out.
bool pool_has_active();

// Bytes written, read back and compared so far in the current pass.
int64_t pool_verified_bytes();

// Blocks that did not match, or came back short, during the whole run.
int64_t pool_mismatched_blocks();

// Asks every worker to stop before its next block. Safe in a signal handler.
void pool_request_stop();

// The result code of the thread-library call that made pool_init or pool_start fail.
int pool_last_error();

// Releases the pool, the pattern block included, at the normal end of the run.
void pool_teardown();
