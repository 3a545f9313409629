// SPDX-License-Identifier: MIT
#include "support/run_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <cstdlib>
#include <regex>
#include <set>
#include <sstream>

namespace {

const std::string line_erase = "\x1b[2K\r";

// A number as %d and %ld print it: no sign, no leading zero, no padding.
#define PLAIN_NUMBER "(0|[1-9][0-9]*)"
// 0 to 59, as the minutes and seconds of an estimate.
#define SIXTY "(?:[0-9]|[1-5][0-9])"

const std::regex progress_pattern("pass: " PLAIN_NUMBER "/" PLAIN_NUMBER ", verified: " PLAIN_NUMBER
                                  " MB, completed: " PLAIN_NUMBER "%, ETA: (" SIXTY "m " SIXTY
                                  "s|[1-9][0-9]{0,2}h " SIXTY "m|>999h)\r");

const std::regex read_back_pattern("read-back: verified: " PLAIN_NUMBER
                                   " MB, completed: " PLAIN_NUMBER "%, ETA: (" SIXTY "m " SIXTY
                                   "s|[1-9][0-9]{0,2}h " SIXTY "m|>999h)\r");

// The line naming the device: "PATH: N bytes (X.Y GB)" and what the system
// says of it.
const std::regex device_line_pattern("[^\n]+: " PLAIN_NUMBER
                                     " bytes \\([0-9]+\\.[0-9] GB\\)[^\n]*\n");
const std::regex summary_pattern("(?:\x1b\\[2K)?(Summary: [^\n]*)\n");

constexpr std::int64_t mebibyte = 1 << 20;

// Takes the device line from the start of the first other text and the
// summary from the end of the last one.
void take_device_line_and_summary(run_stderr& parsed) {
    std::smatch match;
    if (!parsed.others.empty() && parsed.others.front().after_lines == 0) {
        std::string& text = parsed.others.front().text;
        if (std::regex_search(text, match, device_line_pattern,
                              std::regex_constants::match_continuous)) {
            parsed.device_line = match.str().substr(0, match.length() - 1);
            text = match.suffix();
        }
    }
    if (!parsed.others.empty()) {
        std::string& text = parsed.others.back().text;
        const std::size_t at = text.rfind("Summary: ");
        const std::size_t begin =
            at != std::string::npos && at >= 4 && text.compare(at - 4, 4, "\x1b[2K") == 0 ? at - 4
                                                                                          : at;
        const std::string tail = at == std::string::npos ? "" : text.substr(begin);
        if (std::regex_match(tail, match, summary_pattern)) {
            parsed.summary = match[1];
            text.erase(begin);
        }
    }
    parsed.others.erase(
        std::remove_if(parsed.others.begin(), parsed.others.end(),
                       [](const run_stderr::other_text& other) { return other.text.empty(); }),
        parsed.others.end());
}

// Whether some byte count v from 0 to DISK_SIZE gives both MEGABYTES
// (v / 2^20) and PERCENT (v * 100 / DISK_SIZE), as one sample must.
bool one_count_gives(long megabytes, long percent, std::int64_t disk_size) {
    std::int64_t low = megabytes * mebibyte;
    std::int64_t high = low + mebibyte - 1;
    // v * 100 / D == p  <=>  p * D <= 100 v <= (p + 1) * D - 1
    const std::int64_t percent_low = (percent * disk_size + 99) / 100;
    const std::int64_t percent_high = ((percent + 1) * disk_size - 1) / 100;
    low = std::max({low, percent_low, std::int64_t{0}});
    high = std::min({high, percent_high, disk_size});
    return low <= high;
}

} // namespace

std::string run_stderr::other_joined() const {
    std::string joined;
    for (const other_text& other : others)
        joined += other.text;
    return joined;
}

std::vector<drawn_line> run_stderr::lines_of_pass(int pass) const {
    std::vector<drawn_line> found;
    for (const drawn_line& line : lines)
        if (line.pass == pass)
            found.push_back(line);
    return found;
}

std::vector<int> run_stderr::passes_in_order() const {
    std::vector<int> order;
    for (const drawn_line& line : lines)
        if (order.empty() || order.back() != line.pass)
            order.push_back(line.pass);
    return order;
}

long run_stderr::lines_after(const std::string& text) const {
    for (const other_text& other : others)
        if (other.text.find(text) != std::string::npos)
            return static_cast<long>(lines.size() - other.after_lines);
    return -1;
}

run_stderr parse_run_stderr(const std::string& err) {
    run_stderr parsed;
    std::size_t at = err.find(line_erase);
    if (at == std::string::npos)
        at = err.size();
    if (at > 0)
        parsed.others.push_back({0, err.substr(0, at)});
    while (at < err.size()) {
        const std::size_t start = at + line_erase.size();
        std::size_t next = err.find(line_erase, start);
        if (next == std::string::npos)
            next = err.size();
        const std::string piece = err.substr(start, next - start);
        std::smatch match;
        const bool pass_line = std::regex_search(piece, match, progress_pattern,
                                                 std::regex_constants::match_continuous);
        if (pass_line || std::regex_search(piece, match, read_back_pattern,
                                           std::regex_constants::match_continuous)) {
            drawn_line line;
            const int first = pass_line ? 3 : 1;
            line.read_back = !pass_line;
            line.pass = pass_line ? std::stoi(match[1]) : 0;
            line.passes = pass_line ? std::stoi(match[2]) : 0;
            line.megabytes = std::stol(match[first]);
            line.percent = std::stol(match[first + 1]);
            line.eta = match[first + 2];
            line.text = match[0];
            line.index = parsed.lines.size();
            line.at = at;
            parsed.lines.push_back(line);
            const std::string rest = match.suffix();
            if (!rest.empty())
                parsed.others.push_back({parsed.lines.size(), rest});
        } else {
            parsed.malformed.push_back(piece);
        }
        at = next;
    }
    take_device_line_and_summary(parsed);
    return parsed;
}

testing::AssertionResult progress_fits_run(const run_stderr& parsed, int passes,
                                           std::int64_t disk_size) {
    std::ostringstream problems;
    for (const std::string& piece : parsed.malformed)
        problems << "not a progress line after the erase: \"" << escaped(piece) << "\"\n";
    const drawn_line* previous = nullptr;
    for (const drawn_line& line : parsed.lines) {
        const std::string where =
            "line " + std::to_string(line.index) + " \"" + escaped(line.text) + "\": ";
        if (line.percent > 100)
            problems << where << "more than 100 percent\n";
        if (!one_count_gives(line.megabytes, line.percent, disk_size))
            problems << where << "no byte count of a " << disk_size
                     << "-byte device gives these megabytes and this percentage\n";
        const bool same_phase = previous != nullptr && line.read_back == previous->read_back &&
                                line.pass == previous->pass;
        if (same_phase &&
            (line.megabytes < previous->megabytes || line.percent < previous->percent))
            problems << where << "the count fell within the pass or the read-back\n";
        if (line.read_back) {
            if (previous != nullptr && !previous->read_back && previous->pass != passes)
                problems << where << "a read-back line follows a line of pass " << previous->pass
                         << "\n";
            previous = &line;
            continue;
        }
        if (previous != nullptr && previous->read_back)
            problems << where << "a pass line after the read-back\n";
        if (line.passes != passes)
            problems << where << "total of passes is not " << passes << "\n";
        if (line.pass < 1 || line.pass > passes)
            problems << where << "pass number out of 1.." << passes << "\n";
        if (previous == nullptr && line.pass != 1)
            problems << where << "the first line is not of pass 1\n";
        if (previous != nullptr && !previous->read_back && line.pass != previous->pass &&
            line.pass != previous->pass + 1)
            problems << where << "follows a line of pass " << previous->pass << "\n";
        previous = &line;
    }
    const std::string text = problems.str();
    if (text.empty())
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << text;
}

testing::AssertionResult summary_says(const std::string& summary, const std::string& passes,
                                      std::int64_t megabytes, std::int64_t mismatched) {
    static const std::regex pattern(
        "Summary: ([0-9]+ of [0-9]+ passes(?:, read-back (?:done|interrupted))?), " PLAIN_NUMBER
        " MB verified in " PLAIN_NUMBER "h " PLAIN_NUMBER "m " PLAIN_NUMBER "s, " PLAIN_NUMBER
        " MB/s; " PLAIN_NUMBER " (blocks?) did not match\\.");
    std::smatch match;
    if (!std::regex_match(summary, match, pattern))
        return testing::AssertionFailure() << "not a summary: \"" << escaped(summary) << "\"";
    const std::int64_t got_megabytes = std::stoll(match[2]);
    const std::int64_t seconds =
        std::stoll(match[3]) * 3600 + std::stoll(match[4]) * 60 + std::stoll(match[5]);
    const std::int64_t rate = std::stoll(match[6]);
    const std::int64_t got_mismatched = std::stoll(match[7]);
    std::ostringstream problems;
    if (match[1] != passes)
        problems << "passes: \"" << match[1] << "\", not \"" << passes << "\"; ";
    if (megabytes >= 0 && got_megabytes != megabytes)
        problems << got_megabytes << " MB, not " << megabytes << "; ";
    if (rate != (seconds > 0 ? got_megabytes / seconds : 0))
        problems << rate << " MB/s is not the megabytes over the seconds; ";
    if (got_mismatched != mismatched)
        problems << got_mismatched << " blocks did not match, not " << mismatched << "; ";
    if ((match[8] == "block") != (got_mismatched == 1))
        problems << "\"" << match[8] << "\" for " << got_mismatched << "; ";
    if (problems.str().empty())
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << problems.str() << "in \"" << summary << "\"";
}

testing::AssertionResult holds_copies_of_one_block(const std::vector<unsigned char>& bytes,
                                                   std::size_t block_size, bool zero) {
    if (bytes.empty() || block_size == 0)
        return testing::AssertionFailure() << "no bytes to look at";
    const std::size_t first_size = std::min(block_size, bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (zero && bytes[i] != 0)
            return testing::AssertionFailure()
                   << "byte " << i << " is " << int{bytes[i]} << ", not 0";
        if (bytes[i] != bytes[i % block_size])
            return testing::AssertionFailure()
                   << "byte " << i << " (" << int{bytes[i]} << ") differs from byte "
                   << i % block_size << " of the first block (" << int{bytes[i % block_size]}
                   << ")";
    }
    if (!zero) {
        const std::set<unsigned char> values(bytes.begin(), bytes.begin() + first_size);
        // 512 random draws from 256 values give about 220 different ones.
        if (first_size >= 512 && values.size() <= 64)
            return testing::AssertionFailure()
                   << "the block holds only " << values.size() << " different byte values";
    }
    return testing::AssertionSuccess();
}

std::size_t count_of_byte(const std::vector<unsigned char>& bytes, unsigned char byte) {
    std::size_t count = 0;
    for (unsigned char b : bytes)
        count += b == byte;
    return count;
}

std::vector<std::string> program_command(const std::vector<std::string>& args) {
    std::vector<std::string> argv{platterfell_binary()};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

child_options program_options(double timeout_seconds) {
    child_options options;
    options.timeout_seconds = timeout_seconds;
    if (!sanitizer_build().empty()) {
        const char* inherited = std::getenv("TSAN_OPTIONS");
        std::string value = inherited != nullptr && *inherited != '\0' ? inherited : "";
        options.env.push_back("TSAN_OPTIONS=" + value + (value.empty() ? "" : ":") +
                              "atexit_sleep_ms=0");
    }
    return options;
}

child_result run_platterfell(const std::vector<std::string>& args, const child_options& options) {
    return run_child(program_command(args), options);
}

std::string escaped(const std::string& text) {
    std::string shown;
    for (unsigned char c : text) {
        if (c == '\n')
            shown += "\\n";
        else if (c == '\r')
            shown += "\\r";
        else if (c == 0x1b)
            shown += "\\e";
        else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            shown += hex;
        } else
            shown += static_cast<char>(c);
    }
    return shown;
}

std::string describe_run(const child_result& run) {
    return describe_exit(static_cast<const child_exit&>(run)) + " after " +
           std::to_string(run.seconds) + " s; stdout: \"" + escaped(run.out) + "\"; stderr: \"" +
           escaped(run.err) + "\"";
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
