// SPDX-License-Identifier: MIT
// Preloaded into a program under test, makes one chosen call fail:
//
//   FAIL_CALL=pthread_create FAIL_AT=2 FAIL_ERRNO=11
//
// fails the 2nd call of pthread_create with 11 (EAGAIN). Every other call
// goes through to the real function.
//
//   FAIL_CALL    which function: open (also open64, __open_2, __open64_2),
//                openat, stat, fstat, lseek (also lseek64), ioctl, read,
//                write, pread (pread64), pwrite (pwrite64), fsync, fdatasync,
//                close, posix_memalign, pthread_create, pthread_attr_init,
//                pthread_attr_setdetachstate
//   FAIL_AT      which call to fail, counting from 1 (default 1)
//   FAIL_COUNT   how many calls to fail from there on (default 1)
//   FAIL_ERRNO   the error: set in errno for system calls (which give -1),
//                returned by posix_memalign and the pthread calls; default
//                ENOMEM for posix_memalign and pthread_attr_init, EAGAIN for
//                pthread_create, EINVAL for pthread_attr_setdetachstate, EIO
//                for the rest
//   FAIL_MATCH   count only calls whose path contains this text (open,
//                openat, stat) or whose ioctl request is this number
//                (decimal or 0x hexadecimal); other calls never match it
//   FAIL_SHORT   for write and pwrite: instead of failing, write at most
//                this many bytes for real and return that count
//   FAIL_REPORT  a file to which a line "NAME N" is appended for each call
//                made to fail, so a test can tell the fault happened
#undef _FORTIFY_SOURCE
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

namespace {

struct fail_plan {
    char call[64];    // FAIL_CALL, empty when no call is to fail
    long at;          // FAIL_AT
    long count;       // FAIL_COUNT
    int error;        // FAIL_ERRNO, 0 for the call's default
    char match[256];  // FAIL_MATCH
    long short_bytes; // FAIL_SHORT, -1 when unset
    char report[512]; // FAIL_REPORT
};

fail_plan plan;
std::atomic<int> plan_state{0}; // 0 unread, 1 being read, 2 ready
std::atomic<long> calls{0};     // calls of the chosen function counted so far

long env_number(const char* name, long fallback) {
    const char* text = getenv(name);
    if (text == nullptr || *text == '\0')
        return fallback;
    return strtol(text, nullptr, 0);
}

void copy_env(const char* name, char* into, size_t size) {
    const char* text = getenv(name);
    into[0] = '\0';
    if (text != nullptr) {
        strncpy(into, text, size - 1);
        into[size - 1] = '\0';
    }
}

const fail_plan& get_plan() {
    int expected = 0;
    if (plan_state.compare_exchange_strong(expected, 1)) {
        copy_env("FAIL_CALL", plan.call, sizeof plan.call);
        copy_env("FAIL_MATCH", plan.match, sizeof plan.match);
        copy_env("FAIL_REPORT", plan.report, sizeof plan.report);
        plan.at = env_number("FAIL_AT", 1);
        plan.count = env_number("FAIL_COUNT", 1);
        plan.error = static_cast<int>(env_number("FAIL_ERRNO", 0));
        plan.short_bytes = env_number("FAIL_SHORT", -1);
        plan_state.store(2);
    }
    while (plan_state.load() != 2) {
    }
    return plan;
}

void report(const char* name, long number) {
    if (plan.report[0] == '\0')
        return;
    char line[128];
    char digits[24];
    int length = 0;
    do {
        digits[length++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number > 0 && length < 20);
    size_t used = strlen(name);
    memcpy(line, name, used);
    line[used++] = ' ';
    while (length > 0)
        line[used++] = digits[--length];
    line[used++] = '\n';
    // Raw system calls: the wrapped open and write must not count this.
    const long fd =
        syscall(SYS_openat, AT_FDCWD, plan.report, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    syscall(SYS_write, fd, line, used);
    syscall(SYS_close, fd);
}

// Whether this call of NAME is the one to fail. MATCH_TEXT is the call's
// path (or null), MATCH_NUMBER its ioctl request (or -1).
bool should_fail(const char* name, const char* match_text, long match_number) {
    const fail_plan& chosen = get_plan();
    if (chosen.call[0] == '\0' || strcmp(chosen.call, name) != 0)
        return false;
    if (chosen.match[0] != '\0') {
        if (match_text != nullptr && strstr(match_text, chosen.match) == nullptr)
            return false;
        if (match_text == nullptr && match_number != strtol(chosen.match, nullptr, 0))
            return false;
    }
    const long number = calls.fetch_add(1) + 1;
    if (number < chosen.at || number >= chosen.at + chosen.count)
        return false;
    report(name, number);
    return true;
}

int error_or(int fallback) {
    return plan.error != 0 ? plan.error : fallback;
}

template <typename function> function next(const char* name) {
    return reinterpret_cast<function>(dlsym(RTLD_NEXT, name));
}

#define NEXT(name, type)                                                                           \
    static const auto real = next<type>(name);                                                     \
    if (real == nullptr) {                                                                         \
        errno = ENOSYS;                                                                            \
        return -1;                                                                                 \
    }

mode_t open_mode(int flags, va_list& rest) {
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE)
        return static_cast<mode_t>(va_arg(rest, int));
    return 0;
}

} // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    const mode_t mode = open_mode(flags, rest);
    va_end(rest);
    if (should_fail("open", path, -1)) {
        errno = error_or(EIO);
        return -1;
    }
    NEXT("open", int (*)(const char*, int, ...));
    return real(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    const mode_t mode = open_mode(flags, rest);
    va_end(rest);
    if (should_fail("open", path, -1)) {
        errno = error_or(EIO);
        return -1;
    }
    NEXT("open64", int (*)(const char*, int, ...));
    return real(path, flags, mode);
}

int __open_2(const char* path, int flags) {
    if (should_fail("open", path, -1)) {
        errno = error_or(EIO);
        return -1;
    }
    NEXT("__open_2", int (*)(const char*, int));
    return real(path, flags);
}

int __open64_2(const char* path, int flags) {
    if (should_fail("open", path, -1)) {
        errno = error_or(EIO);
        return -1;
    }
    NEXT("__open64_2", int (*)(const char*, int));
    return real(path, flags);
}

int openat(int dir, const char* path, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    const mode_t mode = open_mode(flags, rest);
    va_end(rest);
    if (should_fail("openat", path, -1)) {
        errno = error_or(EIO);
        return -1;
    }
    NEXT("openat", int (*)(int, const char*, int, ...));
    return real(dir, path, flags, mode);
}

int stat(const char* path, struct stat* info) {
    if (should_fail("stat", path, -1)) {
        errno = error_or(EIO);
        return -1;
    }
    NEXT("stat", int (*)(const char*, struct stat*));
    return real(path, info);
}

int fstat(int fd, struct stat* info) {
    if (should_fail("fstat", nullptr, -1)) {
        errno = error_or(EIO);
        return -1;
    }
    NEXT("fstat", int (*)(int, struct stat*));
    return real(fd, info);
}

off_t lseek(int fd, off_t offset, int whence) {
    if (should_fail("lseek", nullptr, -1)) {
        errno = error_or(EIO);
        return -1;
    }
    NEXT("lseek", off_t(*)(int, off_t, int));
    return real(fd, offset, whence);
}

off64_t lseek64(int fd, off64_t offset, int whence) {
    if (should_fail("lseek", nullptr, -1)) {
        errno = error_or(EIO);
        return -1;
    }
    NEXT("lseek64", off64_t(*)(int, off64_t, int));
    return real(fd, offset, whence);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list rest;
    va_start(rest, request);
    void* argument = va_arg(rest, void*);
    va_end(rest);
    if (should_fail("ioctl", nullptr, static_cast<long>(request))) {
        errno = error_or(EIO);
        return -1;
    }
    NEXT("ioctl", int (*)(int, unsigned long, ...));
    return real(fd, request, argument);
}

ssize_t read(int fd, void* buffer, size_t size) {
    if (should_fail("read", nullptr, -1)) {
        errno = error_or(EIO);
        return -1;
    }
    NEXT("read", ssize_t(*)(int, void*, size_t));
    return real(fd, buffer, size);
}

ssize_t write(int fd, const void* buffer, size_t size) {
    NEXT("write", ssize_t(*)(int, const void*, size_t));
    if (should_fail("write", nullptr, -1)) {
        if (plan.short_bytes >= 0)
            return real(fd, buffer,
                        size < static_cast<size_t>(plan.short_bytes)
                            ? size
                            : static_cast<size_t>(plan.short_bytes));
        errno = error_or(EIO);
        return -1;
    }
    return real(fd, buffer, size);
}

ssize_t pread(int fd, void* buffer, size_t size, off_t offset) {
    if (should_fail("pread", nullptr, -1)) {
        errno = error_or(EIO);
        return -1;
    }
    NEXT("pread", ssize_t(*)(int, void*, size_t, off_t));
    return real(fd, buffer, size, offset);
}

ssize_t pread64(int fd, void* buffer, size_t size, off64_t offset) {
    if (should_fail("pread", nullptr, -1)) {
        errno = error_or(EIO);
        return -1;
    }
    NEXT("pread64", ssize_t(*)(int, void*, size_t, off64_t));
    return real(fd, buffer, size, offset);
}

ssize_t pwrite(int fd, const void* buffer, size_t size, off_t offset) {
    NEXT("pwrite", ssize_t(*)(int, const void*, size_t, off_t));
    if (should_fail("pwrite", nullptr, -1)) {
        if (plan.short_bytes >= 0)
            return real(fd, buffer,
                        size < static_cast<size_t>(plan.short_bytes)
                            ? size
                            : static_cast<size_t>(plan.short_bytes),
                        offset);
        errno = error_or(EIO);
        return -1;
    }
    return real(fd, buffer, size, offset);
}

ssize_t pwrite64(int fd, const void* buffer, size_t size, off64_t offset) {
    NEXT("pwrite64", ssize_t(*)(int, const void*, size_t, off64_t));
    if (should_fail("pwrite", nullptr, -1)) {
        if (plan.short_bytes >= 0)
            return real(fd, buffer,
                        size < static_cast<size_t>(plan.short_bytes)
                            ? size
                            : static_cast<size_t>(plan.short_bytes),
                        offset);
        errno = error_or(EIO);
        return -1;
    }
    return real(fd, buffer, size, offset);
}

int fsync(int fd) {
    if (should_fail("fsync", nullptr, -1)) {
        errno = error_or(EIO);
        return -1;
    }
    NEXT("fsync", int (*)(int));
    return real(fd);
}

int fdatasync(int fd) {
    if (should_fail("fdatasync", nullptr, -1)) {
        errno = error_or(EIO);
        return -1;
    }
    NEXT("fdatasync", int (*)(int));
    return real(fd);
}

int close(int fd) {
    if (should_fail("close", nullptr, -1)) {
        errno = error_or(EIO);
        return -1;
    }
    NEXT("close", int (*)(int));
    return real(fd);
}

int posix_memalign(void** memory, size_t alignment, size_t size) {
    if (should_fail("posix_memalign", nullptr, -1))
        return error_or(ENOMEM);
    static const auto real = next<int (*)(void**, size_t, size_t)>("posix_memalign");
    if (real == nullptr)
        return ENOMEM;
    return real(memory, alignment, size);
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                   void* argument) {
    if (should_fail("pthread_create", nullptr, -1))
        return error_or(EAGAIN);
    static const auto real =
        next<int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*)>("pthread_create");
    if (real == nullptr)
        return EAGAIN;
    return real(thread, attributes, start, argument);
}

int pthread_attr_init(pthread_attr_t* attributes) {
    if (should_fail("pthread_attr_init", nullptr, -1))
        return error_or(ENOMEM);
    static const auto real = next<int (*)(pthread_attr_t*)>("pthread_attr_init");
    if (real == nullptr)
        return ENOMEM;
    return real(attributes);
}

int pthread_attr_setdetachstate(pthread_attr_t* attributes, int state) {
    if (should_fail("pthread_attr_setdetachstate", nullptr, -1))
        return error_or(EINVAL);
    static const auto real = next<int (*)(pthread_attr_t*, int)>("pthread_attr_setdetachstate");
    if (real == nullptr)
        return EINVAL;
    return real(attributes, state);
}

} // extern "C"
