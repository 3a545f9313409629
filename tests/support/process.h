// SPDX-License-Identifier: MIT
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <csignal>
#include <memory>
#include <string>
#include <vector>

// Running a program as a child process with its output captured, as a user
// or a script would run it, or at a console of its own (a pseudo-terminal).
//
//     child_result run = run_child({platterfell_binary(), "-h"});
//     EXPECT_EQ(run.exit_code, 0) << describe_exit(run);
//
//     child_process test({platterfell_binary(), "-y", "-n", "3", disk.path()}, options);
//     ASSERT_TRUE(test.wait_for_stderr("pass: 1/3", 30)) << test.err();
//     test.send_signal(SIGINT);
//     child_result run = test.wait(30);
//
//     options.terminal = true;
//     child_process run({platterfell_binary(), disk.path()}, options);
//     ASSERT_TRUE(run.wait_for_stderr("Continue? (y/n):", 10)) << run.err();
//     ASSERT_TRUE(run.wait_for_raw_mode(10));
//     run.write_stdin("y");

enum class child_stdin {
    null_device, // /dev/null
    text,        // a pipe carrying child_options::stdin_text, then end of file
    closed,      // no descriptor 0 at all
};

struct child_options {
    child_stdin input = child_stdin::null_device;
    std::string stdin_text;       // what the pipe carries when input is child_stdin::text
    bool keep_stdin_open = false; // leave that pipe open after the text (close_stdin())
    // A pseudo-terminal of its own as controlling terminal, stdin and stderr
    // (input is then ignored; stdout stays a pipe so that the streams can be
    // told apart); TERM=dumb unless env says otherwise.
    bool terminal = false;
    std::vector<std::string> env; // extra "NAME=value" entries, e.g. LD_PRELOAD
    bool as_nobody = false;       // run as uid/gid 65534 (setresgid/setresuid before exec)
    // Output goes where this process's does, not to pipes (for a daemon that
    // no test reads).
    bool output_to_test = false;
    int death_signal = SIGKILL;   // sent to the child when the thread that started it ends
    double timeout_seconds = 120; // run_child kills the child with SIGKILL past this
};

// How a child ended.
struct child_exit {
    bool exited = false;    // it called exit: exit_code is valid
    int exit_code = -1;     // its exit status when exited
    int signal = 0;         // the signal that ended it, or 0
    bool timed_out = false; // the helper killed it when its time was up
};

struct child_result : child_exit {
    std::string out;    // everything written to stdout
    std::string err;    // everything written to stderr (with a terminal: all it showed)
    double seconds = 0; // from start to exit
};

// "exit status 2", "signal 9 (Killed), timed out", ...
std::string describe_exit(const child_exit& how);
// The same and "; stderr: ..." for assertion messages.
std::string describe_exit(const child_result& result);

// Runs ARGV to its end (or its timeout) and gives what it did. Throws
// std::runtime_error when the program cannot be started.
child_result run_child(const std::vector<std::string>& argv, const child_options& options = {});

// A running child whose output is collected while the test waits on it.
// Every descriptor but 0-2 is closed in the child and its signal dispositions
// and mask are reset. Destruction kills (SIGKILL) and reaps a child that is
// still running. The test process ignores SIGPIPE from then on (a child may
// close its stdin early).
class child_process {
  public:
    child_process(const std::vector<std::string>& argv, const child_options& options = {});
    ~child_process();
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    pid_t pid() const { return pid_; }
    // Sends SIG unless the child has been reaped (its pid may be reused).
    void send_signal(int sig);
    // Waits until TEXT appears in stderr after the end of the previous
    // match; false when the child ends or the time runs out first.
    bool wait_for_stderr(const std::string& text, double timeout_seconds);
    // Output collected so far.
    const std::string& err() const { return result_.err; }
    const std::string& out() const { return result_.out; }
    // More bytes for a child_stdin::text pipe or typed at the terminal
    // ("\x1b[A" an arrow key, "\x04" Ctrl-D, "\x03" Ctrl-C, which raises
    // SIGINT while ISIG is on); and the pipe's end.
    void write_stdin(const std::string& bytes);
    void close_stdin();
    // Whether the child is still running (collects output meanwhile).
    bool running();
    // Waits for the end; past TIMEOUT_SECONDS kills it with SIGKILL.
    child_result wait(double timeout_seconds);

    // With a terminal: waits until it has ICANON off; its current settings
    // (tcgetattr on the master), and new ones, as a shell sets its own when
    // a job stops.
    bool wait_for_raw_mode(double timeout_seconds);
    termios terminal_settings() const;
    void set_terminal_settings(const termios& settings);

  private:
    void pump(double max_wait_seconds);
    bool try_reap();
    void kill_now();

    pid_t pid_ = -1;
    int pidfd_ = -1; // readable once the child has ended; -1 without pidfds
    bool reaped_ = false;
    child_result result_;
    double started_;
    int out_fd_ = -1;
    int err_fd_ = -1;
    int in_fd_ = -1;
    int master_ = -1;      // the terminal's master side
    bool hung_up_ = false; // every slave descriptor is closed
    std::string pending_in_;
    bool close_in_when_sent_;
    std::size_t err_from_ = 0;
};

// The platterfell binary of this build tree.
const char* platterfell_binary();
// The preload library of this build tree (for LD_PRELOAD=).
const char* preload_library();
