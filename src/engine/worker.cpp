// SPDX-License-Identifier: MIT
#include "engine/error_text.h"
#include "engine/messages.h"
#include "engine/pool.h"
#include "engine/pool_internal.h"
#include "engine/report.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

static_assert(sizeof(long) == sizeof(int64_t), "offsets are printed with %ld");
static_assert(sizeof(off_t) == sizeof(int64_t), "offsets beyond 2 GiB need a 64-bit off_t");

namespace {

// The copies a worker takes at its start; it reads nothing else of the job.
struct stripe {
    int64_t offset;            // of the block about to be written
    int64_t blocks_per_worker; // blocks in the stripe
    int64_t disk_size;
    uint32_t block_size;
    uint32_t sector_size;
    const unsigned char* pattern;
    const char* device_path;
    device_identity device;
};

// A worker's pause between its last block and counting itself out.
constexpr unsigned end_of_stripe_pause_seconds = 3;

[[noreturn]] void die_with_errno(const char* format, const char* device_path) {
    char text[error_text_size];
    fail_process(format, device_path, error_text(errno, text));
}

[[noreturn]] void die_no_memory() {
    fail_process("%s\n", msg_no_memory);
}

// Opens the device for direct transfers, and only the device that was
// checked: a path re-pointed since then leads elsewhere, and that is never
// written.
int open_device(const stripe& s) {
    int fd = open(s.device_path, O_RDWR | O_DIRECT | O_CLOEXEC);
    if (fd == -1)
        die_with_errno(fmt_worker_cannot_open, s.device_path);
    if (!is_device(fd, s.device)) {
        close(fd);
        fail_process(fmt_other_device, s.device_path);
    }
    return fd;
}

// Goes over the stripe block by block until it is done, a stop is asked for,
// the pass has verified the whole device, or the device ends.
void write_and_verify(stripe& s, int fd, unsigned char* read_back) {
    for (int64_t blocks_done = 0;;) {
        if (pool_stop_is_requested())
            return;
        if (pool_clamp_verified(s.disk_size))
            return;
        ssize_t n = write(fd, s.pattern, s.block_size);
        if (n == -1) {
            // The end of the device: the stripe reaches past it. Out of space
            // anywhere before it is the storage failing, not the end.
            if (errno == ENOSPC && s.offset >= s.disk_size)
                return;
            die_with_errno(fmt_write_failed, s.device_path);
        }
        if (lseek(fd, -n, SEEK_CUR) == -1)
            die_with_errno(fmt_seek_failed, s.device_path);
        ssize_t got = read(fd, read_back, static_cast<size_t>(n));
        if (got == -1)
            die_with_errno(fmt_read_back_failed, s.device_path);
        bool mismatched = got != n || memcmp(s.pattern, read_back, static_cast<size_t>(n)) != 0;
        // A short read-back leaves the position short of the block's end; the
        // next write must still follow on directly.
        if (got != n && lseek(fd, s.offset + n, SEEK_SET) == -1)
            die_with_errno(fmt_seek_failed, s.device_path);
        if (mismatched)
            report(fmt_mismatch, static_cast<long>(s.offset));
        pool_add_verified(n, mismatched);
        s.offset += n;
        if (++blocks_done == s.blocks_per_worker)
            return;
    }
}

} // namespace

void* worker_main(void* slot_pointer) {
    const worker_slot* slot = static_cast<const worker_slot*>(slot_pointer);
    const job_config* job = slot->job;
    stripe s{slot->start_offset, job->blocks_per_worker, job->disk_size,   job->block_size,
             job->sector_size,   job->pattern,           job->device_path, job->device};
    // A stripe that begins at or past the end of the device is empty, whatever
    // the system would answer a seek there.
    bool empty = s.blocks_per_worker <= 0 || s.offset >= s.disk_size;

    int fd = open_device(s);
    if (!empty && lseek(fd, s.offset, SEEK_SET) == -1)
        die_with_errno(fmt_seek_failed, s.device_path);
    void* read_back = nullptr;
    if (posix_memalign(&read_back, s.sector_size, s.block_size) != 0)
        die_no_memory();

    if (!empty)
        write_and_verify(s, fd, static_cast<unsigned char*>(read_back));

    free(read_back);
    close(fd);
    sleep(end_of_stripe_pause_seconds); // a pause cut short by a signal is not resumed
    pool_count_out();
    pthread_exit(nullptr);
}
