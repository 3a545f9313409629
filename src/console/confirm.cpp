// SPDX-License-Identifier: MIT
#include "console/confirm.h"

#include <termios.h>
#include <unistd.h>

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
// The handler was installed with SA_RESETHAND and SA_NODEFER, so the second
// raise meets the default action at once.
void restore_and_die(int signal_number) {
    tcsetattr(STDIN_FILENO, TCSANOW, &saved_settings);
    raise(signal_number);
}

struct sigaction install_interrupt_restorer() {
    struct sigaction restorer = {};
    restorer.sa_handler = restore_and_die;
    restorer.sa_flags = SA_RESETHAND | SA_NODEFER;
    sigemptyset(&restorer.sa_mask);
    struct sigaction previous = {};
    sigaction(SIGINT, &restorer, &previous);
    return previous;
}

// Reads keys until one says y or n; EOF (end of input or a read error) is no.
int read_answer(int* key) {
    for (;;) {
        *key = getc(stdin);
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
