// SPDX-License-Identifier: MIT
#include "engine/pool.h"

#include "engine/lock.h"
#include "engine/pool_internal.h"

#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <limits>

namespace {

// The counters that workers touch on every block sit on cache lines of their
// own, so that updating one does not slow down readers of another.
constexpr size_t cache_line = 64;

struct alignas(cache_line) verified_counter {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER; // guards the two counts
    int64_t bytes = 0;                                // verified in the current pass
    int64_t mismatched_blocks = 0;                    // did not match, during the whole run
};

struct alignas(cache_line) active_counter {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER; // guards count
    int32_t count = 0; // workers of the pass that have not counted out
};

struct alignas(cache_line) stop_flag {
    std::atomic<bool> requested{false}; // set by an interrupt, never cleared
};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set in a signal handler");

// The one pool of the process. Every member has a constant initializer, so
// the pool, its mutexes included, exists from program start: no code runs to
// make it.
struct pool_state {
    uint32_t worker_count = 0;           // fixed by pool_init, at least 1
    pthread_t* worker_threads = nullptr; // filled anew by every pass
    worker_slot* worker_slots = nullptr; // cleared and refilled by every pass
    job_config* job = nullptr;
    bool pattern_complemented = false; // the test block is now its bitwise complement
    pthread_attr_t thread_attr{};      // default attributes, detached
    int last_error = 0;                // of the latest thread call of init or start
    verified_counter verified;
    active_counter active;
    stop_flag stop;
};

pool_state pool;

} // namespace

int64_t span_per_worker(int64_t total, uint32_t block_size, uint32_t workers) {
    int64_t block = block_size;
    int64_t q = total / workers;
    int64_t r = q % block;
    if (r == 0)
        return q;
    int64_t span;
    // Only a device within a block of 2^63 bytes could overflow here; keep the
    // span a multiple of the block size then too.
    if (__builtin_add_overflow(q, block - r, &span))
        span = q - r;
    return span;
}

int pool_init(uint32_t worker_count, const char* device_path, const device_identity& device,
              int64_t disk_size, uint32_t block_size, uint32_t sector_size, unsigned char* pattern,
              const block_marks& marks) {
    pool.worker_count = worker_count;
    pool.worker_threads = static_cast<pthread_t*>(malloc(sizeof(pthread_t) * worker_count));
    if (pool.worker_threads == nullptr)
        return pool_no_memory;
    pool.job = static_cast<job_config*>(malloc(sizeof(job_config)));
    if (pool.job == nullptr)
        return pool_no_memory;
    pool.worker_slots = static_cast<worker_slot*>(malloc(sizeof(worker_slot) * worker_count));
    if (pool.worker_slots == nullptr)
        return pool_no_memory;
    pool.last_error = pthread_attr_init(&pool.thread_attr);
    if (pool.last_error != 0)
        return pool_thread_error;
    pool.last_error = pthread_attr_setdetachstate(&pool.thread_attr, PTHREAD_CREATE_DETACHED);
    if (pool.last_error != 0)
        return pool_thread_error;
    *pool.job = job_config{
        device_path, pattern,    span_per_worker(disk_size, block_size, worker_count) / block_size,
        disk_size,   block_size, sector_size,
        device,      marks};
    return pool_ok;
}

namespace {

// Odd passes write the test block, even passes its complement: a pass whose
// writes were never stored then reads back the other one. Made in place,
// while no worker runs.
void prepare_pattern(uint32_t pass) {
    const job_config* job = pool.job;
    const bool complemented = job->marks.complement_even_passes && pass % 2 == 0;
    if (complemented == pool.pattern_complemented)
        return;
    for (uint32_t i = 0; i < job->block_size; ++i)
        job->pattern[i] = static_cast<unsigned char>(~job->pattern[i]);
    pool.pattern_complemented = complemented;
}

int start_workers(uint32_t pass, bool read_back) {
    // No worker runs now: the first pass has not begun, or the last one has
    // counted out. Creating each thread publishes these writes to it. Each
    // slot is written just before its thread starts, and no sooner: a table
    // for more workers than the machine can start is never touched in full.
    pool.verified.bytes = 0;
    pool.active.count = static_cast<int32_t>(pool.worker_count);
    const job_config* job = pool.job;
    int64_t span = span_per_worker(job->disk_size, job->block_size, pool.worker_count);
    for (uint32_t i = 0; i < pool.worker_count; ++i) {
        int64_t start;
        if (__builtin_mul_overflow(static_cast<int64_t>(i), span, &start))
            start = std::numeric_limits<int64_t>::max();
        pool.worker_slots[i] = worker_slot{start, pass, read_back, job};
        pool.last_error = pthread_create(&pool.worker_threads[i], &pool.thread_attr, worker_main,
                                         &pool.worker_slots[i]);
        if (pool.last_error != 0)
            return pool_thread_error;
    }
    return pool_ok;
}

} // namespace

int pool_start(uint32_t pass) {
    prepare_pattern(pass);
    return start_workers(pass, false);
}

int pool_start_read_back(uint32_t last_pass) {
    prepare_pattern(last_pass);
    return start_workers(last_pass, true);
}

bool pool_has_active() {
    lock_or_die(&pool.active.lock);
    bool active = pool.active.count != 0;
    unlock_or_die(&pool.active.lock);
    return active;
}

int64_t pool_verified_bytes() {
    lock_or_die(&pool.verified.lock);
    int64_t bytes = pool.verified.bytes;
    unlock_or_die(&pool.verified.lock);
    return bytes;
}

int64_t pool_mismatched_blocks() {
    lock_or_die(&pool.verified.lock);
    int64_t blocks = pool.verified.mismatched_blocks;
    unlock_or_die(&pool.verified.lock);
    return blocks;
}

void pool_request_stop() {
    pool.stop.requested.store(true, std::memory_order_relaxed);
}

int pool_last_error() {
    return pool.last_error;
}

void pool_teardown() {
    pthread_mutex_destroy(&pool.verified.lock);
    pthread_mutex_destroy(&pool.active.lock);
    pthread_attr_destroy(&pool.thread_attr);
    free(pool.job->pattern);
    free(pool.job);
    free(pool.worker_slots);
    free(pool.worker_threads);
    pool.job = nullptr;
    pool.worker_slots = nullptr;
    pool.worker_threads = nullptr;
}

bool pool_stop_is_requested() {
    return pool.stop.requested.load(std::memory_order_relaxed);
}

bool pool_clamp_verified(int64_t disk_size) {
    lock_or_die(&pool.verified.lock);
    bool over = pool.verified.bytes > disk_size;
    if (over)
        pool.verified.bytes = disk_size;
    unlock_or_die(&pool.verified.lock);
    return over;
}

void pool_add_verified(int64_t bytes, bool mismatched) {
    lock_or_die(&pool.verified.lock);
    pool.verified.bytes += bytes;
    pool.verified.mismatched_blocks += mismatched;
    unlock_or_die(&pool.verified.lock);
}

void pool_count_out() {
    lock_or_die(&pool.active.lock);
    --pool.active.count;
    unlock_or_die(&pool.active.lock);
}
