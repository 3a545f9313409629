// SPDX-License-Identifier: MIT
#include "disk.h"

#include "lying_cache.h"
#include "rules.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

namespace {

struct counters {
    std::atomic<std::uint64_t> reads{0};         // read requests on the disk file
    std::atomic<std::uint64_t> writes{0};        // write requests on the disk file
    std::atomic<std::uint64_t> bytes_read{0};    // bytes returned by reads
    std::atomic<std::uint64_t> bytes_written{0}; // bytes acknowledged, stored or dropped
    std::atomic<std::uint64_t> failed_reads{0};  // reads failed by a rule
    std::atomic<std::uint64_t> failed_writes{0}; // writes failed by a rule
    std::atomic<std::uint64_t> flipped_bytes{0}; // bytes flipped in what reads returned
    std::atomic<std::uint64_t> dropped_bytes{0}; // written bytes not stored
    std::atomic<std::uint64_t> delayed{0};       // requests that waited in a delay
    std::atomic<std::uint64_t> flushes{0};       // fsync requests on the disk file
};

// The rules that act on the whole disk and keep state of their own.
struct whole_disk_rules {
    bool drop_after = false;            // a drop-after rule is set
    std::uint64_t drop_after_bytes = 0; // its BYTES
    std::uint64_t written = 0;          // bytes written since it was set
    std::uint64_t wrap = 0;             // REAL of a wrap rule, 0 for none
    lying_cache cache;                  // of a lying-cache rule
};

struct disk_state {
    unsigned char* bytes = nullptr; // the stored bytes, size bytes long
    std::uint64_t size = 0;         // apparent size of the disk file
    std::mutex data_lock;           // guards copies into and out of bytes, and whole
    whole_disk_rules whole;

    std::mutex rules_lock;               // guards rules and generation
    std::condition_variable rules_moved; // signalled when rules change
    std::vector<fault_rule> rules;       // in the order they were added
    std::uint64_t generation = 0;        // bumped by every change of the rules

    counters count;
};

disk_state state;

struct snapshot {
    std::vector<fault_rule> rules;
    std::uint64_t generation;
};

snapshot take_snapshot() {
    std::lock_guard<std::mutex> hold(state.rules_lock);
    return snapshot{state.rules, state.generation};
}

// Waits for the longest delay rule touching the request; a change of the
// rules ends the wait early.
void wait_for_delays(const snapshot& rules, std::uint64_t offset, std::size_t length) {
    unsigned longest = 0;
    for (const fault_rule& rule : rules.rules)
        if (rule.kind == rule_delay && rule_touches(rule, offset, length))
            longest = std::max(longest, rule.delay_ms);
    if (longest == 0)
        return;
    state.count.delayed++;
    std::unique_lock<std::mutex> hold(state.rules_lock);
    state.rules_moved.wait_for(hold, std::chrono::milliseconds(longest),
                               [&] { return state.generation != rules.generation; });
}

int first_error(const snapshot& rules, rule_kind kind, std::uint64_t offset, std::size_t length) {
    for (const fault_rule& rule : rules.rules)
        if (rule.kind == kind && rule_touches(rule, offset, length))
            return rule.error;
    return 0;
}

// Calls COPY(stored, at, part) for each part of [offset, offset + length)
// of the disk: STORED is where its bytes live (wrapped), AT its place in the
// request. Hold data_lock.
template <typename copier>
void for_each_stored_part(std::uint64_t offset, std::size_t length, copier copy) {
    const std::uint64_t real = state.whole.wrap != 0 ? state.whole.wrap : state.size;
    for (std::size_t at = 0; at < length;) {
        const std::uint64_t stored = (offset + at) % real;
        const auto part =
            static_cast<std::size_t>(std::min<std::uint64_t>(length - at, real - stored));
        copy(state.bytes + stored, at, part);
        at += part;
    }
}

// Stores [offset, offset + length) at its wrapped address. Hold data_lock.
void store(const unsigned char* data, std::uint64_t offset, std::size_t length) {
    for_each_stored_part(offset, length,
                         [data](unsigned char* stored, std::size_t at, std::size_t part) {
                             std::memcpy(stored, data + at, part);
                         });
}

// Reads [offset, offset + length) as the loop device sees it: the stored
// bytes, then what the lying cache holds over them. Hold data_lock.
void load(unsigned char* data, std::uint64_t offset, std::size_t length) {
    for_each_stored_part(offset, length,
                         [data](const unsigned char* stored, std::size_t at, std::size_t part) {
                             std::memcpy(data + at, stored, part);
                         });
    cache_overlay(state.whole.cache, data, offset, length);
}

// The parts of a write that are not to be stored: drop-write ranges and
// what passes the drop-after count, sorted. Hold data_lock.
std::vector<std::pair<std::uint64_t, std::uint64_t>>
dropped_ranges(const snapshot& rules, std::uint64_t offset, std::size_t length) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> dropped;
    for (const fault_rule& rule : rules.rules)
        if (rule.kind == rule_drop_write && rule_touches(rule, offset, length))
            dropped.emplace_back(std::max(rule.start, offset),
                                 std::min<std::uint64_t>(rule.end, offset + length));
    whole_disk_rules& whole = state.whole;
    if (whole.drop_after) {
        const std::uint64_t room =
            whole.written < whole.drop_after_bytes ? whole.drop_after_bytes - whole.written : 0;
        whole.written += length;
        if (room < length)
            dropped.emplace_back(offset + room, offset + length);
    }
    std::sort(dropped.begin(), dropped.end());
    return dropped;
}

// Stores a write as the rules let it; gives the bytes not stored. Hold data_lock.
std::uint64_t store_write(const snapshot& rules, const unsigned char* data, std::uint64_t offset,
                          std::size_t length) {
    if (state.whole.cache.active)
        return cache_put(state.whole.cache, data, offset, length);
    std::vector<unsigned char> masked;
    for (const fault_rule& rule : rules.rules) {
        if (rule.kind != rule_stuck || !rule_touches(rule, offset, length))
            continue;
        if (masked.empty())
            masked.assign(data, data + length);
        const std::uint64_t to = std::min<std::uint64_t>(rule.end, offset + length);
        for (std::uint64_t at = std::max(rule.start, offset); at < to; ++at)
            masked[at - offset] &= static_cast<unsigned char>(~rule.mask);
    }
    if (!masked.empty())
        data = masked.data();

    std::uint64_t at = offset;
    const std::uint64_t end = offset + length;
    std::uint64_t lost = 0;
    for (const auto& range : dropped_ranges(rules, offset, length)) {
        if (range.first > at)
            store(data + (at - offset), at, range.first - at);
        if (range.second > at) {
            lost += range.second - std::max(at, range.first);
            at = range.second;
        }
    }
    if (end > at)
        store(data + (at - offset), at, end - at);
    return lost;
}

// Sets a drop-after, wrap or lying-cache rule, or clears them all; gives the
// bytes a cache held that are now lost. Hold data_lock.
std::uint64_t set_whole_disk(const rule_command& command) {
    whole_disk_rules& whole = state.whole;
    const bool new_cache = command.kind == command_clear || command.rule.kind == rule_lying_cache;
    const std::uint64_t lost = new_cache ? cache_empty(whole.cache) : 0;
    if (command.kind == command_clear) {
        whole = whole_disk_rules{};
        return lost;
    }
    switch (command.rule.kind) {
    case rule_drop_after:
        whole.drop_after = true;
        whole.drop_after_bytes = command.rule.bytes;
        whole.written = 0;
        break;
    case rule_wrap:
        whole.wrap = command.rule.bytes;
        break;
    case rule_lying_cache:
        whole.cache.active = true;
        whole.cache.capacity = command.rule.bytes;
        break;
    default:
        break;
    }
    return lost;
}

std::size_t clip(std::size_t size, std::uint64_t offset) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(size, state.size - offset));
}

} // namespace

bool disk_init(std::uint64_t size) {
    const std::uint64_t mapped = std::max<std::uint64_t>(size, 4096);
    void* memory = mmap(nullptr, mapped, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (memory == MAP_FAILED)
        return false;
    state.bytes = static_cast<unsigned char*>(memory);
    state.size = size;
    return true;
}

std::uint64_t disk_size() {
    return state.size;
}

int disk_read(char* buffer, std::size_t size, std::uint64_t offset) {
    state.count.reads++;
    if (offset >= state.size)
        return 0;
    const std::size_t length = clip(size, offset);
    const snapshot rules = take_snapshot();
    wait_for_delays(rules, offset, length);
    if (const int error = first_error(rules, rule_fail_read, offset, length)) {
        state.count.failed_reads++;
        return -error;
    }
    auto* data = reinterpret_cast<unsigned char*>(buffer);
    {
        std::lock_guard<std::mutex> hold(state.data_lock);
        load(data, offset, length);
    }
    for (const fault_rule& rule : rules.rules) {
        if (rule.kind != rule_flip || !rule_touches(rule, offset, length))
            continue;
        const std::uint64_t from = std::max(rule.start, offset);
        const std::uint64_t to = std::min<std::uint64_t>(rule.end, offset + length);
        for (std::uint64_t at = from; at < to; ++at)
            data[at - offset] ^= 0xFF;
        state.count.flipped_bytes += to - from;
    }
    state.count.bytes_read += length;
    return static_cast<int>(length);
}

int disk_write(const char* buffer, std::size_t size, std::uint64_t offset) {
    state.count.writes++;
    if (offset >= state.size)
        return -ENOSPC;
    const std::size_t length = clip(size, offset);
    const snapshot rules = take_snapshot();
    wait_for_delays(rules, offset, length);
    if (const int error = first_error(rules, rule_fail_write, offset, length)) {
        state.count.failed_writes++;
        return -error;
    }
    const auto* data = reinterpret_cast<const unsigned char*>(buffer);
    std::uint64_t lost = 0;
    {
        std::lock_guard<std::mutex> hold(state.data_lock);
        lost = store_write(rules, data, offset, length);
    }
    state.count.dropped_bytes += lost;
    state.count.bytes_written += length;
    return static_cast<int>(length);
}

int disk_read_stored(char* buffer, std::size_t size, std::uint64_t offset) {
    if (offset >= state.size)
        return 0;
    const std::size_t length = clip(size, offset);
    std::lock_guard<std::mutex> hold(state.data_lock);
    std::memcpy(buffer, state.bytes + offset, length);
    return static_cast<int>(length);
}

int disk_write_stored(const char* buffer, std::size_t size, std::uint64_t offset) {
    if (offset >= state.size)
        return -ENOSPC;
    const std::size_t length = clip(size, offset);
    std::lock_guard<std::mutex> hold(state.data_lock);
    std::memcpy(state.bytes + offset, buffer, length);
    return static_cast<int>(length);
}

std::string disk_command(const std::string& text) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;

        rule_command command;
        const std::string error = rules_parse_line(line, command);
        if (!error.empty())
            return error;
        if (command.kind == command_reset_stats) {
            for (std::atomic<std::uint64_t>* counter :
                 {&state.count.reads, &state.count.writes, &state.count.bytes_read,
                  &state.count.bytes_written, &state.count.failed_reads, &state.count.failed_writes,
                  &state.count.flipped_bytes, &state.count.dropped_bytes, &state.count.delayed,
                  &state.count.flushes})
                counter->store(0);
            continue;
        }
        if (command.kind == command_none)
            continue;
        const bool whole_disk =
            command.kind == command_rule && rule_is_whole_disk(command.rule.kind);
        if (whole_disk || command.kind == command_clear) {
            std::lock_guard<std::mutex> hold(state.data_lock);
            state.count.dropped_bytes += set_whole_disk(command);
        }
        std::lock_guard<std::mutex> hold(state.rules_lock);
        if (command.kind == command_clear)
            state.rules.clear();
        else if (!whole_disk) // whole-disk rules live in state.whole
            state.rules.push_back(command.rule);
        state.generation++;
        state.rules_moved.notify_all();
    }
    return "";
}

std::string disk_stats_text() {
    const counters& c = state.count;
    std::string text;
    const std::pair<const char*, std::uint64_t> lines[] = {
        {"reads", c.reads},
        {"writes", c.writes},
        {"bytes_read", c.bytes_read},
        {"bytes_written", c.bytes_written},
        {"failed_reads", c.failed_reads},
        {"failed_writes", c.failed_writes},
        {"flipped_bytes", c.flipped_bytes},
        {"dropped_bytes", c.dropped_bytes},
        {"delayed", c.delayed},
        {"flushes", c.flushes},
    };
    for (const auto& line : lines)
        text += std::string(line.first) + " " + std::to_string(line.second) + "\n";
    return text;
}

void disk_release_delays() {
    std::lock_guard<std::mutex> hold(state.rules_lock);
    state.generation++;
    state.rules_moved.notify_all();
}

void disk_count_flush() {
    state.count.flushes++;
}
