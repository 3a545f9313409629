// SPDX-License-Identifier: MIT
#pragma once

#include <pthread.h>

// Lock or unlock mutex; on failure report it and end the process with status 1.
void lock_or_die(pthread_mutex_t* mutex);
void unlock_or_die(pthread_mutex_t* mutex);
