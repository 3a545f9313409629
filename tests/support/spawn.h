// SPDX-License-Identifier: MIT
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Starting a program for the child and pty helpers: the part between fork
// and exec, done once.

struct spawn_request {
    std::vector<std::string> argv; // argv[0] without a '/' is looked up in PATH
    std::vector<std::string>
        env; // "NAME=value" entries replacing or adding to ours; the last of a name wins
    bool as_nobody = false; // uid and gid 65534, no supplementary groups
    int stdin_fd = -1;      // becomes fd 0; -1 leaves fd 0 closed
    int stdout_fd = -1;     // becomes fd 1; -1 leaves fd 1 closed
    int stderr_fd = -1;     // becomes fd 2; -1 leaves fd 2 closed
    int terminal_fd = -1;   // when set: new session with this as controlling terminal
};

// Forks and execs; every other descriptor is closed in the child, signal
// dispositions and mask are reset, and the child gets SIGKILL when this
// thread ends. Throws std::runtime_error when the program cannot be run.
pid_t spawn_process(const spawn_request& request);

// How a child ended.
struct child_exit {
    bool exited = false;    // it called exit: exit_code is valid
    int exit_code = -1;     // its exit status when exited
    int signal = 0;         // the signal that ended it, or 0
    bool timed_out = false; // the helper killed it when its time was up
};

// "exit status 2", "signal 9 (Killed), timed out", ...
std::string describe_exit(const child_exit& how);

// Watches one child: its pidfd becomes readable when it ends.
class child_watch {
  public:
    explicit child_watch(pid_t pid);
    ~child_watch();
    child_watch(const child_watch&) = delete;
    child_watch& operator=(const child_watch&) = delete;

    pid_t pid() const { return pid_; }
    // A descriptor to poll for POLLIN (ended), or -1 when pidfds are missing.
    int pollable() const { return pidfd_; }
    // Reaps the child if it has ended; gives whether it is reaped.
    bool try_reap();
    bool reaped() const { return reaped_; }
    // Sends SIG unless the child is reaped already (its pid may be reused).
    void send_signal(int sig);
    // SIGKILL and reap, marking the exit as timed out.
    void kill_now();
    const child_exit& how() const { return how_; }

  private:
    pid_t pid_;
    int pidfd_ = -1;
    bool reaped_ = false;
    child_exit how_;
};
