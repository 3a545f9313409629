// SPDX-License-Identifier: MIT
#include "console/confirm.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

namespace {

constexpr char prompt[] =
    "WARNING: All data on the target disk will be destroyed!\nContinue? (y/n):";
static_assert(sizeof prompt - 1 == 72, "the prompt is 72 bytes");

// The settings the terminal had before the prompt, for the interrupt handler.
struct termios saved_settings;

// An interrupt at the prompt must not leave the user's shell without echo:
// put the saved settings back, then die by SIGINT as if nothing had caught it.
// Only async-signal-safe calls here.
void restore_and_die(int signal_number) {
    tcsetattr(STDIN_FILENO, TCSANOW, &saved_settings);
    struct sigaction default_action = {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(signal_number, &default_action, nullptr);
    sigset_t this_signal;
    sigemptyset(&this_signal);
    sigaddset(&this_signal, signal_number);
    sigprocmask(SIG_UNBLOCK, &this_signal, nullptr);
    raise(signal_number);
}

struct sigaction install_interrupt_restorer() {
    struct sigaction restorer = {};
    restorer.sa_handler = restore_and_die;
    sigemptyset(&restorer.sa_mask);
    struct sigaction previous = {};
    sigaction(SIGINT, &restorer, &previous);
    return previous;
}

// The next key typed, or EOF at the end of input or on a read error. One
// byte at a time straight from descriptor 0: nothing else in the program
// reads standard input, and a read that a signal interrupts is simply retried.
int next_key() {
    for (;;) {
        unsigned char byte;
        ssize_t got = read(STDIN_FILENO, &byte, 1);
        if (got == 1)
            return byte;
        if (got == -1 && errno == EINTR)
            continue;
        return EOF;
    }
}

// Reads keys until one says y or n; EOF is no.
int read_answer(int* key) {
    for (;;) {
        *key = next_key();
        if (*key == EOF)
            return 1;
        switch (*key & ~0x20 & 0xff) {
        case 'Y':
            return 0;
        case 'N':
            return 1;
        }
    }
}

} // namespace

int ask_confirmation() {
    tcgetattr(STDIN_FILENO, &saved_settings);
    struct termios prompt_settings = saved_settings;
    prompt_settings.c_lflag &= ~(ICANON | ECHO);
    prompt_settings.c_cc[VMIN] = 1;
    prompt_settings.c_cc[VTIME] = 0;
    struct sigaction previous = install_interrupt_restorer();
    tcsetattr(STDIN_FILENO, TCSANOW, &prompt_settings);

    fwrite(prompt, 1, sizeof prompt - 1, stderr);
    int key = 0;
    int answer = read_answer(&key);

    tcsetattr(STDIN_FILENO, TCSANOW, &saved_settings);
    sigaction(SIGINT, &previous, nullptr);
    if (key == EOF)
        fputc('\n', stderr);
    else
        fprintf(stderr, "%c\n", key);
    return answer;
}
