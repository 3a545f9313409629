// SPDX-License-Identifier: MIT
#include "device/loop_status_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/loop.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

namespace {

constexpr int answer_wait_ms = 2000; // for all the loop devices together
constexpr char fmt_loop_skipped[] =
    "Skipped %s: it did not say within 2 seconds what it is set up over.\n";

// What a child writes back.
struct status_record {
    int known = 0; // 0: the node could not be opened or asked
    uint64_t device = 0;
    uint64_t backing = 0;
    uint64_t offset = 0;
    uint64_t size_limit = 0;
};

// A child asking one loop device.
struct asker {
    pid_t pid = -1;
    int pipe = -1; // its answer comes here; -1 once read
};

// In a child: asks NODE and writes the record to OUT. Nothing but OUT stays
// open, so that a child stuck on a hung file system holds neither the
// claimed device nor the caller's streams.
[[noreturn]] void ask_in_child(const std::string& node, int out) {
    if (out > 0)
        close_range(0, static_cast<unsigned>(out) - 1, 0);
    close_range(static_cast<unsigned>(out) + 1, ~0u, 0);
    status_record record;
    loop_info64 info{};
    struct stat opened;
    const int fd = open(node.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd != -1 && fstat(fd, &opened) == 0 && S_ISBLK(opened.st_mode) &&
        ioctl(fd, LOOP_GET_STATUS64, &info) == 0) {
        record.known = 1;
        record.device = opened.st_rdev;
        record.backing = info.lo_rdevice;
        record.offset = info.lo_offset;
        record.size_limit = info.lo_sizelimit;
    }
    _exit(write(out, &record, sizeof record) == sizeof record ? 0 : 1);
}

// The nodes of the loop devices that are set up (sysfs shows a "loop"
// folder only for those).
std::vector<loop_status> loops_set_up() {
    std::vector<loop_status> loops;
    DIR* listing = opendir("/sys/block");
    if (listing == nullptr)
        return loops;
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (access(("/sys/block/" + name + "/loop").c_str(), F_OK) == 0) {
            loops.emplace_back();
            loops.back().node = "/dev/" + name;
        }
    }
    closedir(listing);
    return loops;
}

asker start_asking(const std::string& node) {
    asker child;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return child;
    child.pid = fork();
    if (child.pid == 0)
        ask_in_child(node, ends[1]);
    close(ends[1]);
    if (child.pid == -1)
        close(ends[0]);
    else
        child.pipe = ends[0];
    return child;
}

void take_answer(asker* child, loop_status* loop) {
    status_record record;
    if (read(child->pipe, &record, sizeof record) == sizeof record && record.known) {
        loop->device = record.device;
        loop->backing = record.backing;
        loop->offset = record.offset;
        loop->size_limit = record.size_limit;
    }
    loop->answered = true;
    close(child->pipe);
    child->pipe = -1;
    waitpid(child->pid, nullptr, 0);
}

} // namespace

std::vector<loop_status> ask_loop_devices() {
    std::vector<loop_status> loops = loops_set_up();
    std::vector<asker> askers;
    for (const loop_status& loop : loops)
        askers.push_back(start_asking(loop.node));
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(answer_wait_ms);
    for (;;) {
        std::vector<pollfd> waiting;
        std::vector<size_t> index;
        for (size_t i = 0; i < askers.size(); ++i) {
            if (askers[i].pipe != -1) {
                waiting.push_back(pollfd{askers[i].pipe, POLLIN, 0});
                index.push_back(i);
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (waiting.empty() || left.count() <= 0)
            break;
        if (poll(waiting.data(), waiting.size(), static_cast<int>(left.count())) == -1 &&
            errno != EINTR)
            break;
        for (size_t i = 0; i < waiting.size(); ++i) {
            if (waiting[i].revents != 0)
                take_answer(&askers[index[i]], &loops[index[i]]);
        }
    }
    for (size_t i = 0; i < loops.size(); ++i) {
        if (!loops[i].answered)
            fprintf(stderr, fmt_loop_skipped, loops[i].node.c_str());
        if (askers[i].pipe == -1)
            continue;
        close(askers[i].pipe);
        kill(askers[i].pid, SIGKILL); // it may stay until its file system answers
        waitpid(askers[i].pid, nullptr, WNOHANG);
    }
    return loops;
}
