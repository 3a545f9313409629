// SPDX-License-Identifier: MIT
#pragma once

#include "support/spawn.h"

#include <sys/types.h>
#include <termios.h>

#include <memory>
#include <string>
#include <vector>

// A program running on a real pseudo-terminal of its own, as at a console:
// the pty is its controlling terminal and its stdin and stderr (and stdout,
// unless stdout goes to a pipe so a test can tell the streams apart).
//
//     pty_child run({platterfell_binary(), disk.path()});
//     ASSERT_TRUE(run.wait_for("Continue? (y/n):", 10)) << run.output();
//     ASSERT_TRUE(run.wait_for_raw_mode(10));
//     run.send("y");
//     child_exit how = run.wait_exit(30);
//     EXPECT_TRUE(run.terminal_settings().c_lflag & ICANON);
struct pty_options {
    bool stdout_to_pipe = false;  // stdout to a pipe (stdout_output()), not the terminal
    std::vector<std::string> env; // extra "NAME=value" entries (TERM=dumb unless given here)
    bool as_nobody = false;       // run as uid/gid 65534
    unsigned short rows = 24;
    unsigned short columns = 80;
};

class pty_child {
  public:
    explicit pty_child(const std::vector<std::string>& argv, const pty_options& options = {});
    // Kills (SIGKILL) and reaps a child that is still running.
    ~pty_child();
    pty_child(const pty_child&) = delete;
    pty_child& operator=(const pty_child&) = delete;

    pid_t pid() const { return watch_->pid(); }

    // Waits until TEXT appears in the terminal output after the end of the
    // previous match; false when the time runs out or the child ended first.
    bool wait_for(const std::string& text, double timeout_seconds);
    // Waits until the terminal has ICANON off (or on again).
    bool wait_for_raw_mode(double timeout_seconds);
    bool wait_for_canonical_mode(double timeout_seconds);
    // Bytes typed at the terminal ("\x1b[A" an arrow key, "\x04" Ctrl-D,
    // "\x03" Ctrl-C which raises SIGINT while ISIG is on).
    void send(const std::string& bytes);
    // The terminal's current settings (tcgetattr on the master), and new
    // ones, as a shell sets its own when a job stops.
    termios terminal_settings() const;
    void set_terminal_settings(const termios& settings);
    void send_signal(int sig) { watch_->send_signal(sig); }
    // Waits for the end, collecting output; past TIMEOUT_SECONDS kills it
    // with SIGKILL (timed_out is then set).
    child_exit wait_exit(double timeout_seconds);

    // Everything the terminal showed so far (with the terminal's own echo
    // and "\r\n" line ends).
    const std::string& output() const { return output_; }
    // Everything written to stdout when it goes to a pipe.
    const std::string& stdout_output() const { return stdout_; }

  private:
    bool wait_until_mode(bool canonical, double timeout_seconds);
    void pump(double max_wait_seconds);

    std::unique_ptr<child_watch> watch_;
    int master_ = -1;
    int stdout_fd_ = -1;
    bool hung_up_ = false; // every slave descriptor is closed
    std::string output_;
    std::string stdout_;
    std::size_t from_ = 0;
};
