// SPDX-License-Identifier: MIT
#include "engine/lock.h"

#include "engine/error_text.h"
#include "engine/messages.h"
#include "engine/report.h"

namespace {

[[noreturn]] void die(const char* format, int result) {
    char text[error_text_size];
    fail_process(format, error_text(result, text));
}

} // namespace

void lock_or_die(pthread_mutex_t* mutex) {
    int result = pthread_mutex_lock(mutex);
    if (result != 0)
        die(fmt_lock_failed, result);
}

void unlock_or_die(pthread_mutex_t* mutex) {
    int result = pthread_mutex_unlock(mutex);
    if (result != 0)
        die(fmt_unlock_failed, result);
}
