// SPDX-License-Identifier: MIT
// Preloaded into the program by the interrupt storm: writes a time-stamped
// line for each step that tells the run's phase, so a test can say exactly
// where each of its interrupts landed, and optionally stretches one step so
// that a short phase can be hit at all.
//
//   SOAK_MARKS=FILE       lines "NANOSECONDS EVENT NUMBER" (CLOCK_MONOTONIC)
//   SOAK_WORKERS=N        the -w of the run, to count passes from thread starts
//   SOAK_STRETCH=WHAT:MS  wait MS milliseconds in one step: "handler" before
//                         every SIGINT disposition is set, "pool" in
//                         pthread_attr_init, "pass" before the first thread of
//                         every pass after the first
//
// Events: sigint-begin/sigint-end K (K 0 default, 1 ignored, 2 a handler),
// attr-init, pool-start P (entry of the first thread start of pass P, before
// any stretch), pass-begin P (just before that thread is created),
// pause-begin/pause-end (a sleep on a thread other than the main thread).
// Calls made by a sanitizer runtime are passed through unmarked, and this
// library is built without instrumentation.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

static long stretch_ms(const char* what) {
    const char* plan = getenv("SOAK_STRETCH");
    if (plan == NULL)
        return 0;
    size_t at = 0;
    for (; what[at] != '\0'; ++at)
        if (plan[at] != what[at])
            return 0;
    if (plan[at] != ':')
        return 0;
    return strtol(plan + at + 1, NULL, 10);
}

static void wait_ms(long ms) {
    struct timespec left = {ms / 1000, (ms % 1000) * 1000000L};
    // An interrupt cuts the wait short: wait out the rest.
    while (ms > 0 && syscall(SYS_nanosleep, &left, &left) != 0 && errno == EINTR) {
    }
}

static int append_number(char* line, int used, unsigned long long number) {
    char digits[24];
    int length = 0;
    do {
        digits[length++] = (char)('0' + number % 10);
        number /= 10;
    } while (number > 0);
    while (length > 0)
        line[used++] = digits[--length];
    return used;
}

static void mark(const char* event, long number) {
    const char* path = getenv("SOAK_MARKS");
    if (path == NULL)
        return;
    const int saved = errno;
    struct timespec now;
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &now);
    char line[96];
    int used = append_number(
        line, 0, (unsigned long long)now.tv_sec * 1000000000ULL + (unsigned long long)now.tv_nsec);
    line[used++] = ' ';
    for (const char* c = event; *c != '\0' && used < 80; ++c)
        line[used++] = *c;
    line[used++] = ' ';
    used = append_number(line, used, (unsigned long long)number);
    line[used++] = '\n';
    // Raw system calls: nothing here may be seen as the program's own I/O.
    const long fd =
        syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0) {
        syscall(SYS_write, fd, line, used);
        syscall(SYS_close, fd);
    }
    errno = saved;
}

static int has_text(const char* text, const char* part) {
    for (; *text != '\0'; ++text) {
        size_t at = 0;
        while (part[at] != '\0' && text[at] == part[at])
            ++at;
        if (part[at] == '\0')
            return 1;
    }
    return 0;
}

static int from_sanitizer_runtime(const void* caller) {
    Dl_info info;
    if (caller == NULL || dladdr(caller, &info) == 0 || info.dli_fname == NULL)
        return 0;
    return has_text(info.dli_fname, "/libasan") || has_text(info.dli_fname, "/libtsan") ||
           has_text(info.dli_fname, "/libubsan") || has_text(info.dli_fname, "/liblsan") ||
           has_text(info.dli_fname, "libclang_rt.");
}

static void* next(void** cache, const char* name) {
    void* found = __atomic_load_n(cache, __ATOMIC_ACQUIRE);
    if (found == NULL) {
        found = dlsym(RTLD_NEXT, name);
        __atomic_store_n(cache, found, __ATOMIC_RELEASE);
    }
    return found;
}

static long disposition_kind(void (*handler)(int)) {
    if (handler == SIG_DFL)
        return 0;
    return handler == SIG_IGN ? 1 : 2;
}

int sigaction(int sig, const struct sigaction* action, struct sigaction* old) {
    static void* cache;
    int (*real)(int, const struct sigaction*, struct sigaction*) =
        (int (*)(int, const struct sigaction*, struct sigaction*))next(&cache, "sigaction");
    if (real == NULL) {
        errno = ENOSYS;
        return -1;
    }
    if (sig != SIGINT || action == NULL || from_sanitizer_runtime(__builtin_return_address(0)))
        return real(sig, action, old);
    const long kind = disposition_kind(action->sa_handler);
    if (kind == 2)
        wait_ms(stretch_ms("handler"));
    mark("sigint-begin", kind);
    const int result = real(sig, action, old);
    mark("sigint-end", kind);
    return result;
}

typedef void (*signal_handler)(int);

signal_handler signal(int sig, signal_handler handler) {
    static void* cache;
    signal_handler (*real)(int, signal_handler) =
        (signal_handler(*)(int, signal_handler))next(&cache, "signal");
    if (real == NULL)
        return SIG_ERR;
    if (sig != SIGINT || from_sanitizer_runtime(__builtin_return_address(0)))
        return real(sig, handler);
    const long kind = disposition_kind(handler);
    if (kind == 2)
        wait_ms(stretch_ms("handler"));
    mark("sigint-begin", kind);
    signal_handler result = real(sig, handler);
    mark("sigint-end", kind);
    return result;
}

int pthread_attr_init(pthread_attr_t* attributes) {
    static void* cache;
    int (*real)(pthread_attr_t*) = (int (*)(pthread_attr_t*))next(&cache, "pthread_attr_init");
    if (real == NULL)
        return ENOSYS;
    if (!from_sanitizer_runtime(__builtin_return_address(0))) {
        mark("attr-init", 0);
        wait_ms(stretch_ms("pool"));
    }
    return real(attributes);
}

static long threads_started = 0;

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                   void* argument) {
    static void* cache;
    int (*real)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) =
        (int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*))next(&cache,
                                                                                  "pthread_create");
    if (real == NULL)
        return ENOSYS;
    if (from_sanitizer_runtime(__builtin_return_address(0)))
        return real(thread, attributes, start, argument);
    const char* text = getenv("SOAK_WORKERS");
    long workers = text != NULL ? strtol(text, NULL, 10) : 0;
    if (workers < 1)
        workers = 1;
    const long index = __atomic_fetch_add(&threads_started, 1, __ATOMIC_SEQ_CST);
    if (index % workers == 0) {
        const long pass = index / workers + 1;
        mark("pool-start", pass);
        if (pass > 1)
            wait_ms(stretch_ms("pass"));
        mark("pass-begin", pass);
    }
    return real(thread, attributes, start, argument);
}

unsigned int sleep(unsigned int seconds) {
    static void* cache;
    unsigned int (*real)(unsigned int) = (unsigned int (*)(unsigned int))next(&cache, "sleep");
    if (real == NULL)
        return seconds;
    if (syscall(SYS_gettid) == getpid() || from_sanitizer_runtime(__builtin_return_address(0)))
        return real(seconds);
    mark("pause-begin", seconds);
    const unsigned int left = real(seconds);
    mark("pause-end", seconds);
    return left;
}
