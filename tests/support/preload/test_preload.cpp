// SPDX-License-Identifier: MIT
// Preloaded into a program under test. It makes one chosen call fail, and
// it writes time-stamped marks of the steps that tell a run's phase.
//
// Failing a call:
//
//   FAIL_CALL=pthread_create FAIL_AT=2 FAIL_ERRNO=11
//
// fails the 2nd call of pthread_create with 11 (EAGAIN). Every other call
// goes through to the real function.
//
//   FAIL_CALL    which function: open (also open64, __open_2, __open64_2),
//                ioctl, read, close, fsync, fdatasync, posix_memalign,
//                pthread_create, pthread_attr_init, pthread_attr_setdetachstate
//   FAIL_AT      which call to fail, counting from 1 (default 1)
//   FAIL_COUNT   how many calls to fail from there on (default 1)
//   FAIL_ERRNO   the error: set in errno for system calls (which give -1),
//                returned by posix_memalign and the pthread calls; default
//                ENOMEM for posix_memalign and pthread_attr_init, EAGAIN for
//                pthread_create, EINVAL for pthread_attr_setdetachstate, EIO
//                for the rest
//   FAIL_MATCH   count only calls whose path contains this text (open) or
//                whose ioctl request is this number (decimal or 0x
//                hexadecimal); other calls never match it
//   FAIL_SHORT   for read: instead of failing, transfer at most this many
//                bytes for real and return that count
//   FAIL_REPORT  a file to which a line "NAME N" is appended for each call
//                made to fail, so a test can tell the fault happened
//
// Marking the phases (the interrupt storm), and stretching one short step so
// that it can be hit at all:
//
//   MARK_FILE=FILE        lines "NANOSECONDS EVENT NUMBER" (CLOCK_MONOTONIC)
//   MARK_WORKERS=N        the -w of the run, to count passes from thread starts
//   MARK_STRETCH=WHAT:MS  wait MS milliseconds in one step: "handler" before
//                         every SIGINT disposition is set, "pool" in
//                         pthread_attr_init, "pass" before the first thread of
//                         every pass after the first
//
// Events: sigint-begin/sigint-end K (K 0 default, 1 ignored, 2 a handler),
// attr-init, pool-start P (entry of the first thread start of pass P, before
// any stretch), pass-begin P (just before that thread is created),
// pause-begin/pause-end (a sleep on a thread other than the main thread).
//
// Calls made by a sanitizer runtime (libtsan calls pthread_attr_init for
// every new thread) are neither counted, failed nor marked, and this library
// itself is never instrumented: the runtime calls it before a thread is set up.
#undef _FORTIFY_SOURCE
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#if defined(__clang__)
#define NOT_INSTRUMENTED __attribute__((disable_sanitizer_instrumentation))
#else
#define NOT_INSTRUMENTED __attribute__((no_sanitize("address", "thread", "undefined")))
#endif
#define CALLER __builtin_return_address(0)

namespace {

struct fail_plan {
    char call[64];     // FAIL_CALL, empty when no call is to fail
    long at;           // FAIL_AT
    long count;        // FAIL_COUNT
    int error;         // FAIL_ERRNO, 0 for the call's default
    char match[256];   // FAIL_MATCH, empty for every call
    long match_number; // FAIL_MATCH read as a number, for ioctl requests
    long short_bytes;  // FAIL_SHORT, -1 when unset
    char report[512];  // FAIL_REPORT, empty for no report
};

// Atomics by compiler builtins: std::atomic's inline functions would be
// instrumented where they are not inlined.
fail_plan plan;
int plan_state = 0; // 0 unread, 1 being read, 2 ready
long calls = 0;     // calls of the chosen function counted so far

// Plain string helpers: the C library's may be sanitizer interceptors.
NOT_INSTRUMENTED bool same_text(const char* left, const char* right) {
    while (*left != '\0' && *left == *right) {
        ++left;
        ++right;
    }
    return *left == *right;
}

NOT_INSTRUMENTED bool starts_with(const char* text, const char* prefix) {
    while (*prefix != '\0' && *text == *prefix) {
        ++text;
        ++prefix;
    }
    return *prefix == '\0';
}

NOT_INSTRUMENTED bool contains(const char* text, const char* part) {
    for (; *text != '\0'; ++text)
        if (starts_with(text, part))
            return true;
    return *part == '\0';
}

NOT_INSTRUMENTED void copy_text(char* into, const char* from, size_t size) {
    size_t at = 0;
    for (; from != nullptr && from[at] != '\0' && at + 1 < size; ++at)
        into[at] = from[at];
    into[at] = '\0';
}

NOT_INSTRUMENTED long env_number(const char* name, long fallback) {
    const char* text = getenv(name);
    if (text == nullptr || *text == '\0')
        return fallback;
    return strtol(text, nullptr, 0);
}

NOT_INSTRUMENTED const fail_plan& get_plan() {
    int expected = 0;
    if (__atomic_compare_exchange_n(&plan_state, &expected, 1, false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE)) {
        copy_text(plan.call, getenv("FAIL_CALL"), sizeof plan.call);
        copy_text(plan.match, getenv("FAIL_MATCH"), sizeof plan.match);
        copy_text(plan.report, getenv("FAIL_REPORT"), sizeof plan.report);
        plan.match_number = plan.match[0] != '\0' ? strtol(plan.match, nullptr, 0) : -1;
        plan.at = env_number("FAIL_AT", 1);
        plan.count = env_number("FAIL_COUNT", 1);
        plan.error = static_cast<int>(env_number("FAIL_ERRNO", 0));
        plan.short_bytes = env_number("FAIL_SHORT", -1);
        __atomic_store_n(&plan_state, 2, __ATOMIC_RELEASE);
    }
    while (__atomic_load_n(&plan_state, __ATOMIC_ACQUIRE) != 2) {
    }
    return plan;
}

NOT_INSTRUMENTED bool from_sanitizer_runtime(const void* caller) {
    Dl_info info{};
    if (caller == nullptr || dladdr(caller, &info) == 0)
        return false;
    if (info.dli_fname != nullptr &&
        (contains(info.dli_fname, "/libasan") || contains(info.dli_fname, "/libtsan") ||
         contains(info.dli_fname, "/libubsan") || contains(info.dli_fname, "/liblsan") ||
         contains(info.dli_fname, "libclang_rt.")))
        return true;
    return info.dli_sname != nullptr &&
           (starts_with(info.dli_sname, "_ZN11__sanitizer") ||
            starts_with(info.dli_sname, "_ZN6__tsan") ||
            starts_with(info.dli_sname, "_ZN6__asan") || starts_with(info.dli_sname, "__tsan_") ||
            starts_with(info.dli_sname, "__asan_") ||
            starts_with(info.dli_sname, "__interceptor_"));
}

NOT_INSTRUMENTED void append_line(const char* path, const char* line, size_t length);

NOT_INSTRUMENTED void report(const char* name, long number) {
    if (plan.report[0] == '\0')
        return;
    char line[128];
    size_t used = 0;
    for (; name[used] != '\0' && used < 96; ++used)
        line[used] = name[used];
    line[used++] = ' ';
    char digits[24];
    int length = 0;
    do {
        digits[length++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number > 0 && length < 20);
    while (length > 0)
        line[used++] = digits[--length];
    line[used++] = '\n';
    append_line(plan.report, line, used);
}

// Whether this call of NAME, made from CALLER, is one to fail. MATCH_TEXT is
// the call's path (or null), MATCH_NUMBER its ioctl request (or -1).
NOT_INSTRUMENTED bool should_fail(const char* name, const void* caller, const char* match_text,
                                  long match_number) {
    const fail_plan& chosen = get_plan();
    if (chosen.call[0] == '\0' || !same_text(chosen.call, name))
        return false;
    if (chosen.match[0] != '\0') {
        if (match_text != nullptr ? !contains(match_text, chosen.match)
                                  : match_number != chosen.match_number)
            return false;
    }
    if (from_sanitizer_runtime(caller))
        return false;
    const long number = __atomic_add_fetch(&calls, 1, __ATOMIC_SEQ_CST);
    if (number < chosen.at || number >= chosen.at + chosen.count)
        return false;
    report(name, number);
    return true;
}

NOT_INSTRUMENTED int error_or(int fallback) {
    return plan.error != 0 ? plan.error : fallback;
}

// The next definition of NAME after this library, looked up once. No
// function-local static: its guard would be a sanitizer interceptor.
template <typename function> NOT_INSTRUMENTED function next(void** cache, const char* name) {
    void* found = __atomic_load_n(cache, __ATOMIC_ACQUIRE);
    if (found == nullptr) {
        found = dlsym(RTLD_NEXT, name);
        __atomic_store_n(cache, found, __ATOMIC_RELEASE);
    }
    return reinterpret_cast<function>(found);
}

#define NEXT(name, type)                                                                           \
    static void* cache = nullptr;                                                                  \
    const auto real = next<type>(&cache, name);                                                    \
    if (real == nullptr) {                                                                         \
        errno = ENOSYS;                                                                            \
        return -1;                                                                                 \
    }

NOT_INSTRUMENTED mode_t open_mode(int flags, va_list& rest) {
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE)
        return static_cast<mode_t>(va_arg(rest, int));
    return 0;
}

NOT_INSTRUMENTED size_t short_length(size_t size) {
    const auto limit = static_cast<size_t>(plan.short_bytes);
    return size < limit ? size : limit;
}

// ---- phase marks ----

NOT_INSTRUMENTED long stretch_ms(const char* what) {
    const char* chosen = getenv("MARK_STRETCH");
    if (chosen == nullptr)
        return 0;
    size_t at = 0;
    for (; what[at] != '\0'; ++at)
        if (chosen[at] != what[at])
            return 0;
    if (chosen[at] != ':')
        return 0;
    return strtol(chosen + at + 1, nullptr, 10);
}

NOT_INSTRUMENTED void wait_ms(long ms) {
    timespec left = {ms / 1000, (ms % 1000) * 1000000L};
    // An interrupt cuts the wait short: wait out the rest.
    while (ms > 0 && syscall(SYS_nanosleep, &left, &left) != 0 && errno == EINTR) {
    }
}

NOT_INSTRUMENTED size_t append_number(char* line, size_t used, unsigned long long number) {
    char digits[24];
    int length = 0;
    do {
        digits[length++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number > 0 && length < 20);
    while (length > 0)
        line[used++] = digits[--length];
    return used;
}

// Appends LINE to PATH with raw system calls: nothing here may be seen (or
// counted) as the program's own I/O.
NOT_INSTRUMENTED void append_line(const char* path, const char* line, size_t length) {
    const long fd =
        syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    syscall(SYS_write, fd, line, length);
    syscall(SYS_close, fd);
}

NOT_INSTRUMENTED void mark(const char* event, long number) {
    const char* path = getenv("MARK_FILE");
    if (path == nullptr)
        return;
    const int saved = errno;
    timespec now{};
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &now);
    char line[96];
    size_t used = append_number(line, 0,
                                static_cast<unsigned long long>(now.tv_sec) * 1000000000ULL +
                                    static_cast<unsigned long long>(now.tv_nsec));
    line[used++] = ' ';
    for (const char* c = event; *c != '\0' && used < 80; ++c)
        line[used++] = *c;
    line[used++] = ' ';
    used = append_number(line, used, static_cast<unsigned long long>(number));
    line[used++] = '\n';
    append_line(path, line, used);
    errno = saved;
}

NOT_INSTRUMENTED long disposition_kind(void (*handler)(int)) {
    if (handler == SIG_DFL)
        return 0;
    return handler == SIG_IGN ? 1 : 2;
}

long threads_started = 0;

// Marks the start of a pass at the first thread of each: workers start
// MARK_WORKERS at a time.
NOT_INSTRUMENTED void mark_thread_start() {
    if (getenv("MARK_FILE") == nullptr)
        return;
    const char* text = getenv("MARK_WORKERS");
    long workers = text != nullptr ? strtol(text, nullptr, 10) : 0;
    if (workers < 1)
        workers = 1;
    const long index = __atomic_fetch_add(&threads_started, 1, __ATOMIC_SEQ_CST);
    if (index % workers != 0)
        return;
    const long pass = index / workers + 1;
    mark("pool-start", pass);
    if (pass > 1)
        wait_ms(stretch_ms("pass"));
    mark("pass-begin", pass);
}

} // namespace

extern "C" {

NOT_INSTRUMENTED int open(const char* path, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    const mode_t mode = open_mode(flags, rest);
    va_end(rest);
    if (should_fail("open", CALLER, path, -1)) {
        errno = error_or(EIO);
        return -1;
    }
    NEXT("open", int (*)(const char*, int, ...));
    return real(path, flags, mode);
}

NOT_INSTRUMENTED int open64(const char* path, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    const mode_t mode = open_mode(flags, rest);
    va_end(rest);
    if (should_fail("open", CALLER, path, -1)) {
        errno = error_or(EIO);
        return -1;
    }
    NEXT("open64", int (*)(const char*, int, ...));
    return real(path, flags, mode);
}

NOT_INSTRUMENTED int __open_2(const char* path, int flags) {
    if (should_fail("open", CALLER, path, -1)) {
        errno = error_or(EIO);
        return -1;
    }
    NEXT("__open_2", int (*)(const char*, int));
    return real(path, flags);
}

NOT_INSTRUMENTED int __open64_2(const char* path, int flags) {
    if (should_fail("open", CALLER, path, -1)) {
        errno = error_or(EIO);
        return -1;
    }
    NEXT("__open64_2", int (*)(const char*, int));
    return real(path, flags);
}

NOT_INSTRUMENTED int ioctl(int fd, unsigned long request, ...) {
    va_list rest;
    va_start(rest, request);
    void* argument = va_arg(rest, void*);
    va_end(rest);
    if (should_fail("ioctl", CALLER, nullptr, static_cast<long>(request))) {
        errno = error_or(EIO);
        return -1;
    }
    NEXT("ioctl", int (*)(int, unsigned long, ...));
    return real(fd, request, argument);
}

NOT_INSTRUMENTED ssize_t read(int fd, void* buffer, size_t size) {
    NEXT("read", ssize_t(*)(int, void*, size_t));
    if (should_fail("read", CALLER, nullptr, -1)) {
        if (plan.short_bytes >= 0)
            return real(fd, buffer, short_length(size));
        errno = error_or(EIO);
        return -1;
    }
    return real(fd, buffer, size);
}

NOT_INSTRUMENTED int close(int fd) {
    if (should_fail("close", CALLER, nullptr, -1)) {
        errno = error_or(EIO);
        return -1;
    }
    NEXT("close", int (*)(int));
    return real(fd);
}

NOT_INSTRUMENTED int fsync(int fd) {
    if (should_fail("fsync", CALLER, nullptr, -1)) {
        errno = error_or(EIO);
        return -1;
    }
    NEXT("fsync", int (*)(int));
    return real(fd);
}

NOT_INSTRUMENTED int fdatasync(int fd) {
    if (should_fail("fdatasync", CALLER, nullptr, -1)) {
        errno = error_or(EIO);
        return -1;
    }
    NEXT("fdatasync", int (*)(int));
    return real(fd);
}

// The pthread calls and posix_memalign return the error instead of -1.
#define NEXT_RETURNING(name, type, failure)                                                        \
    static void* cache = nullptr;                                                                  \
    const auto real = next<type>(&cache, name);                                                    \
    if (real == nullptr)                                                                           \
        return failure;

NOT_INSTRUMENTED int posix_memalign(void** memory, size_t alignment, size_t size) {
    if (should_fail("posix_memalign", CALLER, nullptr, -1))
        return error_or(ENOMEM);
    NEXT_RETURNING("posix_memalign", int (*)(void**, size_t, size_t), ENOMEM);
    return real(memory, alignment, size);
}

NOT_INSTRUMENTED int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                                    void* (*start)(void*), void* argument) {
    if (!from_sanitizer_runtime(CALLER))
        mark_thread_start();
    if (should_fail("pthread_create", CALLER, nullptr, -1))
        return error_or(EAGAIN);
    NEXT_RETURNING("pthread_create",
                   int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*), EAGAIN);
    return real(thread, attributes, start, argument);
}

NOT_INSTRUMENTED int pthread_attr_init(pthread_attr_t* attributes) {
    if (getenv("MARK_FILE") != nullptr && !from_sanitizer_runtime(CALLER)) {
        mark("attr-init", 0);
        wait_ms(stretch_ms("pool"));
    }
    if (should_fail("pthread_attr_init", CALLER, nullptr, -1))
        return error_or(ENOMEM);
    NEXT_RETURNING("pthread_attr_init", int (*)(pthread_attr_t*), ENOMEM);
    return real(attributes);
}

NOT_INSTRUMENTED int pthread_attr_setdetachstate(pthread_attr_t* attributes, int state) {
    if (should_fail("pthread_attr_setdetachstate", CALLER, nullptr, -1))
        return error_or(EINVAL);
    NEXT_RETURNING("pthread_attr_setdetachstate", int (*)(pthread_attr_t*, int), EINVAL);
    return real(attributes, state);
}

// The SIGINT dispositions, marked (and stretched before a handler is set).
NOT_INSTRUMENTED int sigaction(int sig, const struct sigaction* action, struct sigaction* old) {
    NEXT("sigaction", int (*)(int, const struct sigaction*, struct sigaction*));
    if (sig != SIGINT || action == nullptr || from_sanitizer_runtime(CALLER))
        return real(sig, action, old);
    const long kind = disposition_kind(action->sa_handler);
    if (kind == 2)
        wait_ms(stretch_ms("handler"));
    mark("sigint-begin", kind);
    const int result = real(sig, action, old);
    mark("sigint-end", kind);
    return result;
}

using signal_handler = void (*)(int);

NOT_INSTRUMENTED signal_handler signal(int sig, signal_handler handler) {
    static void* cache = nullptr;
    const auto real = next<signal_handler (*)(int, signal_handler)>(&cache, "signal");
    if (real == nullptr)
        return SIG_ERR;
    if (sig != SIGINT || from_sanitizer_runtime(CALLER))
        return real(sig, handler);
    const long kind = disposition_kind(handler);
    if (kind == 2)
        wait_ms(stretch_ms("handler"));
    mark("sigint-begin", kind);
    const signal_handler result = real(sig, handler);
    mark("sigint-end", kind);
    return result;
}

// The workers' pause at the end of a stripe (a sleep off the main thread).
NOT_INSTRUMENTED unsigned int sleep(unsigned int seconds) {
    static void* cache = nullptr;
    const auto real = next<unsigned int (*)(unsigned int)>(&cache, "sleep");
    if (real == nullptr)
        return seconds;
    if (syscall(SYS_gettid) == getpid() || from_sanitizer_runtime(CALLER))
        return real(seconds);
    mark("pause-begin", seconds);
    const unsigned int left = real(seconds);
    mark("pause-end", seconds);
    return left;
}

} // extern "C"
