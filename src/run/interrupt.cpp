// SPDX-License-Identifier: MIT
#include "run/interrupt.h"

#include "engine/pool.h"
#include "run/messages.h"

#include <unistd.h>

#include <atomic>
#include <csignal>

namespace {

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

} // namespace

void on_interrupt(int) {
    // write(2) rather than stdio: the interrupted thread may hold the stream's lock.
    ssize_t written = write(STDERR_FILENO, abort_notice, sizeof abort_notice - 1);
    (void)written;
    pool_request_stop();
    interrupted.store(true, std::memory_order_relaxed);
}

void install_interrupt_handler() {
    struct sigaction action = {};
    action.sa_handler = on_interrupt;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
}

bool abort_requested() {
    return interrupted.load(std::memory_order_relaxed);
}
