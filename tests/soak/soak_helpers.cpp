// SPDX-License-Identifier: MIT
#include "soak/soak_helpers.h"

#include "support/devices.h"
#include "support/io_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

namespace {

std::vector<std::string> entries_of(const std::string& dir) {
    std::vector<std::string> names;
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr)
        return names;
    while (const dirent* entry = readdir(listing))
        if (entry->d_name[0] != '.')
            names.push_back(entry->d_name);
    closedir(listing);
    return names;
}

std::string link_target(const std::string& path) {
    char target[4096];
    const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    if (length < 0)
        return "";
    return std::string(target, static_cast<std::size_t>(length));
}

bool all_digits(const std::string& text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

std::size_t count_of(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

double timed_run::arrival(std::size_t offset) const {
    for (std::size_t k = 0; k < sizes.size(); ++k)
        if (sizes[k] > offset)
            return times[k];
    return times.empty() ? started : times.back();
}

bool watch_child(child_process& child, double seconds, std::vector<double>& times,
                 std::vector<std::size_t>& sizes) {
    const double until = io_now() + seconds;
    for (;;) {
        const bool running = child.running();
        const std::size_t size = child.err().size();
        if (sizes.empty() || size != sizes.back()) {
            times.push_back(io_now());
            sizes.push_back(size);
        }
        if (!running)
            return false;
        if (io_now() >= until)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::vector<std::string> own_descriptors() {
    std::vector<std::string> paths;
    for (const std::string& name : entries_of("/proc/self/fd"))
        paths.push_back(name + " -> " + link_target("/proc/self/fd/" + name));
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::vector<pid_t> holders_of(const std::string& path) {
    std::vector<pid_t> holders;
    const std::string self = std::to_string(getpid());
    for (const std::string& pid : entries_of("/proc")) {
        if (!all_digits(pid) || pid == self)
            continue;
        for (const std::string& fd : entries_of("/proc/" + pid + "/fd"))
            if (link_target("/proc/" + pid + "/fd/" + fd) == path) {
                holders.push_back(static_cast<pid_t>(std::stol(pid)));
                break;
            }
    }
    return holders;
}

std::vector<pid_t> own_children() {
    std::vector<pid_t> children;
    const pid_t self = getpid();
    for (const std::string& pid : entries_of("/proc")) {
        if (!all_digits(pid))
            continue;
        const std::string stat = io_read_text_or_empty("/proc/" + pid + "/stat");
        // "PID (NAME) STATE PPID ...": the name may hold spaces and parentheses.
        const std::size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        char state = 0;
        long parent = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %ld", &state, &parent) == 2 &&
            parent == self)
            children.push_back(static_cast<pid_t>(std::stol(pid)));
    }
    return children;
}

device_trace trace_of(const fault_device& device) {
    device_trace trace;
    trace.loop_path = device.path();
    trace.loop_sysfs = "/sys/block/" + device.path().substr(device.path().rfind('/') + 1);
    trace.diskseq = io_trim(io_read_text_or_empty(trace.loop_sysfs + "/diskseq"));
    trace.mount_dir = device.mount_dir();
    trace.daemon = device.daemon_pid();
    return trace;
}

std::string leftovers_while_attached(const device_trace& trace) {
    std::string found;
    for (pid_t holder : holders_of(trace.loop_path))
        found += "process " + std::to_string(holder) + " holds " + trace.loop_path + "; ";
    for (pid_t child : own_children())
        if (child != trace.daemon)
            found += "child process " + std::to_string(child) + " is still there; ";
    return found;
}

std::string leftovers_after_teardown(const device_trace& trace) {
    std::string found;
    const std::string backing = io_read_text_or_empty(trace.loop_sysfs + "/loop/backing_file");
    const std::string diskseq = io_trim(io_read_text_or_empty(trace.loop_sysfs + "/diskseq"));
    if (!backing.empty() && backing.find(trace.mount_dir) != std::string::npos &&
        diskseq == trace.diskseq)
        found += trace.loop_path + " is still attached; ";
    if (fault_mount_connection(trace.mount_dir) >= 0)
        found += trace.mount_dir + " is still mounted; ";
    if (access(trace.mount_dir.c_str(), F_OK) == 0)
        found += trace.mount_dir + " still exists; ";
    if (trace.daemon > 0 && kill(trace.daemon, 0) == 0)
        found += "fault daemon " + std::to_string(trace.daemon) + " is still there; ";
    for (pid_t child : own_children())
        found += "child process " + std::to_string(child) + " is still there; ";
    return found;
}
