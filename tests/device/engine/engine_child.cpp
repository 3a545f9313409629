// SPDX-License-Identifier: MIT
#include "device/engine/engine_child.h"

#include "engine/pool.h"
#include "support/io_util.h"
#include "support/reexec.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Starts the line on which the child reports the pass.
constexpr char report_tag[] = "engine-pass";
// The child gives up on a pass that has not ended by then.
constexpr double child_deadline_seconds = 90;

const char* stop_word(stop_plan stop) {
    switch (stop) {
    case stop_plan::none:
        return "none";
    case stop_plan::before_start:
        return "before";
    case stop_plan::after_bytes:
        return "after";
    }
    return "none";
}

std::string encode(const engine_plan& plan) {
    std::ostringstream text;
    text << plan.device << ' ' << plan.disk_size << ' ' << plan.sector_size << ' '
         << plan.block_size << ' ' << plan.workers << ' ' << stop_word(plan.stop) << ' '
         << plan.stop_after;
    return text.str();
}

[[noreturn]] void child_gives_up(const char* why) {
    std::string line = std::string(report_tag) + " failed " + why + "\n";
    if (write(STDOUT_FILENO, line.data(), line.size()) < 0)
        _exit(4);
    _exit(3);
}

// The child's side: one pass as TEXT says, reported on standard output, then
// _exit so that nothing else of this binary runs.
[[noreturn]] void run_pass(const char* text) {
    std::istringstream words(text);
    std::string device, stop;
    int64_t disk_size = 0, stop_after = 0;
    uint32_t sector_size = 0, block_size = 0, workers = 0;
    if (!(words >> device >> disk_size >> sector_size >> block_size >> workers >> stop >>
          stop_after))
        child_gives_up("unreadable plan");

    void* memory = nullptr;
    if (posix_memalign(&memory, sector_size, block_size) != 0)
        child_gives_up("no memory for the pattern");
    const std::vector<unsigned char> bytes = test_pattern(block_size);
    memcpy(memory, bytes.data(), block_size);

    if (stop == "before")
        pool_request_stop();
    struct stat info;
    if (stat(device.c_str(), &info) != 0)
        child_gives_up("stat of the device");
    if (pool_init(workers, device.c_str(), identity_of(info), disk_size, block_size, sector_size,
                  static_cast<unsigned char*>(memory), block_marks{true, false, 0}) != pool_ok)
        child_gives_up("pool_init");
    const double started = io_now();
    if (pool_start(1) != pool_ok)
        child_gives_up("pool_start");
    const double all_started = io_now();

    int64_t verified_at_stop = -1;
    double stopped = 0;
    while (pool_has_active()) {
        if (stop == "after" && verified_at_stop < 0 && pool_verified_bytes() >= stop_after) {
            pool_request_stop();
            stopped = io_now();
            verified_at_stop = pool_verified_bytes();
        }
        if (io_now() - started > child_deadline_seconds)
            child_gives_up("the pass did not end");
        usleep(2000);
    }
    const double ended = io_now();

    std::ostringstream line;
    line << report_tag << ' ' << pool_verified_bytes() << ' ' << pool_mismatched_blocks() << ' '
         << ended - started << ' ' << ended - all_started << ' ' << verified_at_stop << ' '
         << (verified_at_stop < 0 ? 0.0 : ended - stopped) << '\n';
    pool_teardown();
    const std::string report = line.str();
    if (write(STDOUT_FILENO, report.data(), report.size()) < 0)
        _exit(4);
    _exit(0);
}

const bool registered =
    reexec_register("engine-pass", [](const std::string& text) -> int { run_pass(text.c_str()); });

} // namespace

engine_outcome run_engine(const engine_plan& plan) {
    (void)registered;
    child_options options;
    options.env = plan.env;
    options.timeout_seconds = child_deadline_seconds + 30;
    engine_outcome run;
    run.child = reexec_run("engine-pass", encode(plan), options);

    const std::size_t at = run.child.out.find(std::string(report_tag) + " ");
    if (at == std::string::npos)
        return run;
    std::istringstream words(run.child.out.substr(at + sizeof report_tag));
    run.finished =
        static_cast<bool>(words >> run.verified >> run.mismatched >> run.active_seconds >>
                          run.active_after_start >> run.verified_at_stop >> run.seconds_after_stop);
    return run;
}

std::string describe(const engine_outcome& run) {
    return describe_exit(run.child) + "; stdout: " + run.child.out;
}

std::vector<unsigned char> test_pattern(uint32_t block_size) {
    std::vector<unsigned char> bytes(block_size);
    for (uint32_t at = 0; at < block_size; ++at)
        bytes[at] = static_cast<unsigned char>(1 + (at * 37 + 11) % 251);
    return bytes;
}

std::vector<unsigned char> with_pattern(std::vector<unsigned char> before, uint32_t block_size,
                                        const std::vector<byte_range>& covered) {
    const std::vector<unsigned char> bytes = test_pattern(block_size);
    for (const byte_range& range : covered)
        for (uint64_t at = range.start; at < range.end && at < before.size(); ++at)
            before[at] = bytes[at % block_size];
    return before;
}

std::string first_difference(const std::vector<unsigned char>& got,
                             const std::vector<unsigned char>& want) {
    const std::size_t common = std::min(got.size(), want.size());
    for (std::size_t at = 0; at < common; ++at)
        if (got[at] != want[at])
            return "byte " + std::to_string(at) + " is " + std::to_string(got[at]) + ", not " +
                   std::to_string(want[at]);
    if (got.size() != want.size())
        return std::to_string(got.size()) + " bytes, not " + std::to_string(want.size());
    return "";
}
