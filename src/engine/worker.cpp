// SPDX-License-Identifier: MIT
#include "engine/error_text.h"
#include "engine/messages.h"
#include "engine/pool.h"
#include "engine/pool_internal.h"
#include "engine/report.h"
#include "engine/stamp.h"

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
    int64_t offset;            // of the block about to be written or read
    int64_t blocks_per_worker; // blocks in the stripe
    int64_t disk_size;
    uint32_t block_size;
    uint32_t sector_size;
    uint32_t pass;
    bool read_back;
    block_marks marks;
    const unsigned char* pattern; // the test block as this pass writes it
    const char* device_path;
    device_identity device;
};

// A worker's pause between its last block and counting itself out.
constexpr unsigned end_of_stripe_pause_seconds = 3;

[[noreturn]] void die_with_errno(const char* format, const char* device_path) {
    char text[error_text_size];
    fail_process(format, device_path, error_text(errno, text));
}

// For a block whose write or read failed: names the block first.
[[noreturn]] void die_at_block(const char* format, const stripe& s) {
    char text[error_text_size];
    fail_process(format, static_cast<long>(s.offset), s.device_path, error_text(errno, text));
}

[[noreturn]] void die_no_memory() {
    fail_process("%s\n", msg_no_memory);
}

// A block buffer on a page boundary (at least a sector's): a direct transfer
// then moves whole pages, which made the read-back of a memory-backed device
// about 8 % faster than on a sector boundary.
void* aligned_block(const stripe& s) {
    const long page = sysconf(_SC_PAGESIZE);
    const size_t alignment =
        page > static_cast<long>(s.sector_size) ? static_cast<size_t>(page) : s.sector_size;
    void* block = nullptr;
    if (posix_memalign(&block, alignment, s.block_size) != 0)
        die_no_memory();
    return block;
}

// Opens the device for direct transfers, and only the device that was
// checked: a path re-pointed since then leads elsewhere, and that is never
// written.
int open_device(const stripe& s) {
    int fd = open(s.device_path, (s.read_back ? O_RDONLY : O_RDWR) | O_DIRECT | O_CLOEXEC);
    if (fd == -1)
        die_with_errno(fmt_worker_cannot_open, s.device_path);
    if (!is_device(fd, s.device)) {
        close(fd);
        fail_process(fmt_other_device, s.device_path);
    }
    return fd;
}

// With stamps, the worker's own copy of the test block to write, tagged for
// this pass and stamped anew for every block; null without them, and in the
// read-back, which writes nothing.
unsigned char* stamped_copy(const stripe& s) {
    if (!s.marks.stamped || s.read_back)
        return nullptr;
    unsigned char* copy = static_cast<unsigned char*>(aligned_block(s));
    memcpy(copy, s.pattern, s.block_size);
    stamp_tags(copy, s.block_size, s.marks.run_tag, s.pass);
    return copy;
}

// The bytes that belong at the stripe's current offset.
const unsigned char* data_at(const stripe& s, unsigned char* stamped) {
    if (stamped == nullptr)
        return s.pattern;
    stamp_offsets(stamped, s.block_size, s.offset);
    return stamped;
}

// Whether GOT, LENGTH bytes read at the stripe's offset, holds what this
// pass wrote there.
bool holds_written_data(const stripe& s, const unsigned char* got, size_t length) {
    if (s.marks.stamped)
        return holds_stamped_block(got, length, s.pattern, s.offset, s.marks.run_tag, s.pass);
    return memcmp(s.pattern, got, length) == 0;
}

// Whether the stripe may go on to its next block: no stop was asked for,
// and the pass has not yet verified the whole device.
bool next_block_wanted(const stripe& s) {
    return !pool_stop_is_requested() && !pool_clamp_verified(s.disk_size);
}

// Reports the block at the stripe's offset, which read back as GOT (GOT_BYTES
// bytes); names the block whose data it holds where its stamp tells.
void report_mismatch(const stripe& s, const unsigned char* got, ssize_t got_bytes) {
    int64_t stamped_at = 0;
    if (s.marks.stamped && got_bytes >= static_cast<ssize_t>(stamp_size) &&
        read_stamp(got, s.marks.run_tag, &stamped_at)) {
        // Blocks begin at multiples of the block size, save after a short
        // write; a block's own stamp names no other block.
        const int64_t holder = stamped_at - stamped_at % s.block_size;
        if (stamped_at != s.offset && holder != s.offset) {
            report(fmt_mismatch_holding, static_cast<long>(s.offset), static_cast<long>(s.offset),
                   static_cast<long>(holder));
            return;
        }
    }
    report(fmt_mismatch, static_cast<long>(s.offset));
}

// Reports a block that did not match, counts its BYTES and moves the stripe
// on past them; gives whether the stripe has blocks left.
bool count_block(stripe& s, int64_t bytes, bool mismatched, const unsigned char* got,
                 ssize_t got_bytes, int64_t* blocks_done) {
    if (mismatched)
        report_mismatch(s, got, got_bytes);
    pool_add_verified(bytes, mismatched);
    s.offset += bytes;
    return ++*blocks_done != s.blocks_per_worker;
}

// Goes over the stripe block by block until it is done, a stop is asked for,
// the pass has verified the whole device, or the device ends.
void write_and_verify(stripe& s, int fd, unsigned char* stamped, unsigned char* read_back) {
    for (int64_t blocks_done = 0;;) {
        if (!next_block_wanted(s))
            return;
        const unsigned char* bytes = data_at(s, stamped);
        ssize_t n = write(fd, bytes, s.block_size);
        if (n == -1) {
            // The end of the device: the stripe reaches past it. Out of space
            // anywhere before it is the storage failing, not the end.
            if (errno == ENOSPC && s.offset >= s.disk_size)
                return;
            die_at_block(fmt_write_failed_at, s);
        }
        if (lseek(fd, -n, SEEK_CUR) == -1)
            die_with_errno(fmt_seek_failed, s.device_path);
        ssize_t got = read(fd, read_back, static_cast<size_t>(n));
        if (got == -1)
            die_at_block(fmt_read_back_failed_at, s);
        bool mismatched = got != n || !holds_written_data(s, read_back, static_cast<size_t>(n));
        // A short read-back leaves the position short of the block's end; the
        // next write must still follow on directly.
        if (got != n && lseek(fd, s.offset + n, SEEK_SET) == -1)
            die_with_errno(fmt_seek_failed, s.device_path);
        if (!count_block(s, n, mismatched, read_back, got, &blocks_done))
            return;
    }
}

// The read-back after the last pass: every block of the stripe read again
// and compared with what that pass wrote there. A block that the device's
// end cuts short was written short and is compared as far as it goes.
void read_and_compare(stripe& s, int fd, unsigned char* read_back) {
    for (int64_t blocks_done = 0; s.offset < s.disk_size;) {
        if (!next_block_wanted(s))
            return;
        const int64_t left = s.disk_size - s.offset;
        const ssize_t want = left < s.block_size ? static_cast<ssize_t>(left) : s.block_size;
        ssize_t got = pread(fd, read_back, s.block_size, s.offset);
        if (got == -1)
            die_at_block(fmt_read_back_failed_at, s);
        bool mismatched =
            got < want || !holds_written_data(s, read_back, static_cast<size_t>(want));
        if (!count_block(s, want, mismatched, read_back, got, &blocks_done))
            return;
    }
}

} // namespace

void* worker_main(void* slot_pointer) {
    const worker_slot* slot = static_cast<const worker_slot*>(slot_pointer);
    const job_config* job = slot->job;
    stripe s{slot->start_offset, job->blocks_per_worker,
             job->disk_size,     job->block_size,
             job->sector_size,   slot->pass,
             slot->read_back,    job->marks,
             job->pattern,       job->device_path,
             job->device};
    // A stripe that begins at or past the end of the device is empty, whatever
    // the system would answer a seek there.
    bool empty = s.blocks_per_worker <= 0 || s.offset >= s.disk_size;

    int fd = open_device(s);
    if (!empty && !s.read_back && lseek(fd, s.offset, SEEK_SET) == -1)
        die_with_errno(fmt_seek_failed, s.device_path);
    unsigned char* read_back = static_cast<unsigned char*>(aligned_block(s));
    unsigned char* stamped = stamped_copy(s);

    if (!empty && s.read_back)
        read_and_compare(s, fd, read_back);
    else if (!empty)
        write_and_verify(s, fd, stamped, read_back);

    free(stamped);
    free(read_back);
    close(fd);
    sleep(end_of_stripe_pause_seconds); // a pause cut short by a signal is not resumed
    pool_count_out();
    pthread_exit(nullptr);
}
