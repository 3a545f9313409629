// SPDX-License-Identifier: MIT
#include "soak/soak_helpers.h"

#include "support/fault_device.h"
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

constexpr char erase_line[] = "\x1b[2K\r";

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

std::string parsed_stderr::other() const {
    std::string joined;
    for (const stderr_text& piece : texts)
        joined += piece.text;
    return joined;
}

namespace {

// Reads the exact text of one progress line from TEXT (which starts with the
// erase sequence and ends with its closing carriage return) into LINE.
class line_reader {
  public:
    explicit line_reader(const std::string& text) : text_(text) {}
    bool literal(const char* expected) {
        const std::size_t length = std::strlen(expected);
        if (text_.compare(at_, length, expected) != 0)
            return false;
        at_ += length;
        return true;
    }
    bool number(std::int64_t& value) {
        const std::size_t from = at_;
        value = 0;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9' && at_ - from < 18)
            value = value * 10 + (text_[at_++] - '0');
        return at_ > from;
    }
    bool at_end() const { return at_ == text_.size(); }
    std::size_t position() const { return at_; }
    void rewind(std::size_t to) { at_ = to; }

  private:
    const std::string& text_;
    std::size_t at_ = 0;
};

// "Xm Ys", "Xh Ym" or ">999h".
bool read_eta(line_reader& reader) {
    if (reader.literal(">999h"))
        return true;
    const std::size_t from = reader.position();
    std::int64_t first = 0, second = 0;
    if (reader.number(first) && reader.literal("m ") && reader.number(second) &&
        reader.literal("s"))
        return true;
    reader.rewind(from);
    return reader.number(first) && reader.literal("h ") && reader.number(second) &&
           reader.literal("m");
}

bool read_progress_line(const std::string& text, progress_line& line) {
    line_reader reader(text);
    std::int64_t pass = 0, passes = 0;
    if (!(reader.literal("\x1b[2K\rpass: ") && reader.number(pass) && reader.literal("/") &&
          reader.number(passes) && reader.literal(", verified: ") &&
          reader.number(line.megabytes) && reader.literal(" MB, completed: ") &&
          reader.number(line.percent) && reader.literal("%, ETA: ")))
        return false;
    const std::size_t eta_from = reader.position();
    if (!read_eta(reader))
        return false;
    line.eta = text.substr(eta_from, reader.position() - eta_from);
    line.pass = static_cast<unsigned>(pass);
    line.passes = static_cast<unsigned>(passes);
    return reader.literal("\r") && reader.at_end();
}

} // namespace

parsed_stderr parse_stderr(const std::string& err) {
    parsed_stderr parsed;
    std::size_t at = 0;
    const auto add_text = [&](std::size_t from, std::size_t to) {
        if (to > from)
            parsed.texts.push_back(stderr_text{err.substr(from, to - from), from});
    };
    while (at < err.size()) {
        const std::size_t line_start = err.find(erase_line, at);
        if (line_start == std::string::npos) {
            add_text(at, err.size());
            break;
        }
        add_text(at, line_start);
        // The line ends at its second carriage return.
        const std::size_t end = err.find('\r', line_start + sizeof erase_line - 1);
        const std::size_t stop = end == std::string::npos ? err.size() : end + 1;
        const std::string candidate = err.substr(line_start, stop - line_start);
        progress_line line;
        if (!read_progress_line(candidate, line)) {
            if (parsed.malformed.empty())
                parsed.malformed = "not a progress line at byte " + std::to_string(line_start) +
                                   ": \"" + candidate + "\"";
            add_text(line_start, stop);
        } else {
            line.at = line_start;
            parsed.lines.push_back(line);
        }
        at = stop;
    }
    return parsed;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            lines.push_back(text.substr(at));
            break;
        }
        lines.push_back(text.substr(at, end + 1 - at));
        at = end + 1;
    }
    return lines;
}

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

timed_run run_timed(const std::vector<std::string>& argv, double timeout_seconds,
                    const child_options& options) {
    timed_run run;
    run.started = io_now();
    child_process child(argv, options);
    watch_child(child, timeout_seconds, run.times, run.sizes);
    run.result = child.wait(0.5);
    if (run.sizes.empty() || run.result.err.size() != run.sizes.back()) {
        run.times.push_back(io_now());
        run.sizes.push_back(run.result.err.size());
    }
    return run;
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

std::string sanitizer_build() {
#if defined(__SANITIZE_ADDRESS__)
    return "AddressSanitizer";
#elif defined(__SANITIZE_THREAD__)
    return "ThreadSanitizer";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return "AddressSanitizer";
#elif __has_feature(thread_sanitizer)
    return "ThreadSanitizer";
#else
    return "";
#endif
#else
    return "";
#endif
}

std::int64_t first_difference(const std::vector<unsigned char>& bytes, std::uint64_t from,
                              std::uint64_t to, const std::vector<unsigned char>& block) {
    const std::uint64_t block_size = block.size();
    for (std::uint64_t at = from; at < to && at < bytes.size(); ++at)
        if (bytes[at] != block[at % block_size])
            return static_cast<std::int64_t>(at);
    if (to > bytes.size())
        return static_cast<std::int64_t>(bytes.size());
    return -1;
}

std::string check_uniform_blocks(const std::string& path, std::uint64_t size, std::uint32_t block,
                                 unsigned char largest, bool zero_allowed) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
    if (fd < 0)
        return "cannot open " + path + ": " + std::strerror(errno);
    const std::size_t chunk = std::max<std::size_t>(block, 1 << 20);
    void* memory = nullptr;
    if (posix_memalign(&memory, 4096, chunk) != 0) {
        close(fd);
        return "out of memory";
    }
    std::unique_ptr<unsigned char, decltype(&std::free)> buffer(static_cast<unsigned char*>(memory),
                                                                &std::free);
    std::vector<unsigned char> first;
    std::string problem;
    std::uint64_t at = 0;
    while (at < size && problem.empty()) {
        const ssize_t got = pread(fd, buffer.get(), chunk, static_cast<off_t>(at));
        if (got <= 0) {
            problem = "read at " + std::to_string(at) + " gave " + std::to_string(got);
            break;
        }
        const unsigned char* data = buffer.get();
        if (first.empty()) {
            first.assign(data, data + block);
            if (!zero_allowed &&
                std::all_of(first.begin(), first.end(), [](unsigned char b) { return b == 0; }))
                problem = "the first block is all zero: nothing was written";
        }
        for (ssize_t k = 0; k < got && problem.empty(); ++k) {
            const std::uint64_t offset = at + static_cast<std::uint64_t>(k);
            if (data[k] != first[offset % block] || data[k] > largest) {
                problem = "byte " + std::to_string(offset) + " is " + std::to_string(data[k]) +
                          ", block 0 has " + std::to_string(first[offset % block]) +
                          " there (largest allowed " + std::to_string(largest) + ")";
                break;
            }
        }
        at += static_cast<std::uint64_t>(got);
    }
    close(fd);
    if (problem.empty() && at != size)
        problem = "read " + std::to_string(at) + " bytes of " + std::to_string(size);
    return problem;
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
