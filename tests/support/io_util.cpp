// SPDX-License-Identifier: MIT
#include "support/io_util.h"

#include <cerrno>
#include <cstdint>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t chunk_size = 1 << 20;
constexpr std::size_t alignment = 4096;

struct aligned_buffer {
    explicit aligned_buffer(std::size_t size) {
        if (posix_memalign(&data, alignment, size) != 0)
            throw std::runtime_error("test rig: out of memory");
    }
    ~aligned_buffer() { std::free(data); }
    aligned_buffer(const aligned_buffer&) = delete;
    aligned_buffer& operator=(const aligned_buffer&) = delete;
    void* data = nullptr;
};

struct fd_closer {
    explicit fd_closer(int descriptor) : fd(descriptor) {}
    ~fd_closer() {
        if (fd >= 0)
            close(fd);
    }
    fd_closer(const fd_closer&) = delete;
    fd_closer& operator=(const fd_closer&) = delete;
    int fd;
};

// The sector size and size of a block device, or 512 and the largest
// offset for anything else.
void device_extent(int fd, std::uint64_t& sector, std::uint64_t& size) {
    sector = 512;
    size = UINT64_MAX;
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISBLK(info.st_mode))
        return;
    int logical = 0;
    if (ioctl(fd, BLKSSZGET, &logical) == 0 && logical > 0)
        sector = static_cast<std::uint64_t>(logical);
    std::uint64_t bytes = 0;
    if (ioctl(fd, BLKGETSIZE64, &bytes) == 0)
        size = bytes;
}

// Bytes of the next request at DONE: at most a chunk, whole sectors, and not
// into a partial last sector (O_DIRECT gives EINVAL for any request touching
// one), except that a partial sector alone is still tried.
std::size_t next_request(std::uint64_t done, std::uint64_t end, std::uint64_t sector) {
    const std::uint64_t whole = (end - done) / sector * sector;
    const std::uint64_t want = whole > 0 ? whole : sector;
    return want < chunk_size ? static_cast<std::size_t>(want) : chunk_size;
}

} // namespace

void io_fail(const std::string& what, const std::string& path) {
    const int error = errno;
    throw std::runtime_error(what + " " + path + ": " + std::strerror(error));
}

std::string io_read_text(const std::string& path) {
    const fd_closer file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.fd < 0)
        io_fail("cannot open", path);
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(file.fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            io_fail("cannot read", path);
        if (got == 0)
            return text;
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

std::string io_read_text_or_empty(const std::string& path) {
    try {
        return io_read_text(path);
    } catch (const std::runtime_error&) {
        return "";
    }
}

std::string io_trim(const std::string& text) {
    std::size_t end = text.size();
    while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == ' ' || text[end - 1] == '\t'))
        --end;
    return text.substr(0, end);
}

void io_make_dirs(const std::string& path) {
    for (std::size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/')
            continue;
        const std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            io_fail("cannot create folder", part);
    }
}

std::vector<unsigned char> io_read_direct(const std::string& path) {
    const fd_closer file(open(path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC));
    if (file.fd < 0)
        io_fail("cannot open with O_DIRECT", path);
    std::uint64_t sector = 0;
    std::uint64_t size = 0;
    device_extent(file.fd, sector, size);
    aligned_buffer buffer(chunk_size);
    std::vector<unsigned char> bytes;
    while (bytes.size() < size) {
        const std::size_t want = next_request(bytes.size(), size, sector);
        const ssize_t got = pread(file.fd, buffer.data, want, static_cast<off_t>(bytes.size()));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EINVAL && size - bytes.size() < sector)
            break; // a partial last sector cannot be read with O_DIRECT
        if (got < 0)
            io_fail("O_DIRECT read failed at offset " + std::to_string(bytes.size()) + " of", path);
        const auto* data = static_cast<const unsigned char*>(buffer.data);
        bytes.insert(bytes.end(), data, data + got);
        if (static_cast<std::size_t>(got) < want)
            break;
    }
    return bytes;
}

void io_fill_direct(const std::string& path, std::uint64_t size, unsigned char byte) {
    const fd_closer file(open(path.c_str(), O_WRONLY | O_DIRECT | O_CLOEXEC));
    if (file.fd < 0)
        io_fail("cannot open with O_DIRECT", path);
    std::uint64_t sector = 0;
    std::uint64_t device_size = 0;
    device_extent(file.fd, sector, device_size);
    aligned_buffer buffer(chunk_size);
    std::memset(buffer.data, byte, chunk_size);
    std::uint64_t done = 0;
    while (done < size) {
        const std::size_t want = next_request(done, size, sector);
        const ssize_t put = pwrite(file.fd, buffer.data, want, static_cast<off_t>(done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0 && size - done < sector && (errno == EINVAL || errno == ENOSPC))
            break; // a partial last sector cannot be written with O_DIRECT
        if (put < 0)
            io_fail("O_DIRECT write failed at offset " + std::to_string(done) + " of", path);
        if (put == 0)
            throw std::runtime_error("O_DIRECT write wrote nothing at offset " +
                                     std::to_string(done) + " of " + path);
        done += static_cast<std::uint64_t>(put);
    }
    if (fsync(file.fd) != 0)
        io_fail("fsync failed on", path);
}

std::vector<unsigned char> io_read_file(const std::string& path) {
    const fd_closer file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.fd < 0)
        io_fail("cannot open", path);
    std::vector<unsigned char> bytes;
    std::vector<unsigned char> buffer(chunk_size);
    for (;;) {
        const ssize_t got = read(file.fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            io_fail("cannot read", path);
        if (got == 0)
            return bytes;
        bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + got);
    }
}

void io_write_file(const std::string& path, std::uint64_t offset,
                   const std::vector<unsigned char>& bytes) {
    const fd_closer file(open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (file.fd < 0)
        io_fail("cannot open", path);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = pwrite(file.fd, bytes.data() + done, bytes.size() - done,
                                   static_cast<off_t>(offset + done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            io_fail("cannot write", path);
        done += static_cast<std::size_t>(put);
    }
}

double io_now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string results_dir() {
    const std::string binary = PLATTERFELL_BINARY;
    return binary.substr(0, binary.rfind('/')) + "/soak-results";
}

void record_result(const std::string& file, const std::string& line) {
    const std::string dir = results_dir();
    io_make_dirs(dir);
    const std::string path = dir + "/" + file;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        io_fail("cannot open", path);
    const std::string whole = line + "\n";
    // One write of less than a page to an O_APPEND file: lines of parallel
    // tests never mix.
    const ssize_t put = write(fd, whole.data(), whole.size());
    close(fd);
    if (put != static_cast<ssize_t>(whole.size()))
        io_fail("cannot append to", path);
}
