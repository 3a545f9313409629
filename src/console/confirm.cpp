// SPDX-License-Identifier: MIT
#include "console/confirm.h"

#include "console/messages.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

namespace {

// The settings the terminal had before the prompt, and those of the prompt,
// for the signal handlers.
struct termios saved_settings;
struct termios prompt_settings;

// The signals that end the process by default and may come while the user
// thinks: each must not leave the user's shell without echo.
constexpr int ending_signals[] = {SIGINT, SIGTERM, SIGQUIT, SIGHUP};
constexpr int ending_signal_count = sizeof ending_signals / sizeof ending_signals[0];

// Puts the saved settings back, then dies by the same signal as if nothing
// had caught it. Only async-signal-safe calls here.
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

// After a stop (Ctrl-Z) the shell has put its own settings back; a continued
// prompt needs its own again.
void reapply_prompt_settings(int) {
    int saved_errno = errno;
    tcsetattr(STDIN_FILENO, TCSANOW, &prompt_settings);
    errno = saved_errno;
}

// The handlers in force while the prompt waits, and what they replaced.
struct prompt_handlers {
    struct sigaction ending[ending_signal_count];
    struct sigaction continued;
};

void install(int signal_number, void (*handler)(int), struct sigaction* previous) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, previous);
}

prompt_handlers install_handlers() {
    prompt_handlers previous;
    for (int i = 0; i < ending_signal_count; ++i)
        install(ending_signals[i], restore_and_die, &previous.ending[i]);
    install(SIGCONT, reapply_prompt_settings, &previous.continued);
    return previous;
}

void restore_handlers(const prompt_handlers& previous) {
    for (int i = 0; i < ending_signal_count; ++i)
        sigaction(ending_signals[i], &previous.ending[i], nullptr);
    sigaction(SIGCONT, &previous.continued, nullptr);
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

// Reads keys until one says y or n, or the input ends.
int read_answer(int* key) {
    for (;;) {
        *key = next_key();
        if (*key == EOF)
            return confirm_unanswered;
        switch (*key & ~0x20 & 0xff) {
        case 'Y':
            return confirm_yes;
        case 'N':
            return confirm_no;
        }
    }
}

} // namespace

int ask_confirmation() {
    tcgetattr(STDIN_FILENO, &saved_settings);
    prompt_settings = saved_settings;
    prompt_settings.c_lflag &= ~(ICANON | ECHO);
    prompt_settings.c_cc[VMIN] = 1;
    prompt_settings.c_cc[VTIME] = 0;
    prompt_handlers previous = install_handlers();
    // TCSAFLUSH: what was typed before the question was asked is no answer to it.
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &prompt_settings);

    fwrite(prompt_text, 1, sizeof prompt_text - 1, stderr);
    int key = 0;
    int answer = read_answer(&key);

    tcsetattr(STDIN_FILENO, TCSANOW, &saved_settings);
    restore_handlers(previous);
    if (key == EOF)
        fputc('\n', stderr);
    else
        fprintf(stderr, "%c\n", key);
    return answer;
}
