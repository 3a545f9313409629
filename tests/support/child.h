// SPDX-License-Identifier: MIT
#pragma once

#include "support/spawn.h"

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

// Running a program as a child process with its output captured, as a user
// or a script would run it.
//
//     child_result run = run_child({platterfell_binary(), "-h"});
//     EXPECT_EQ(run.exit_code, 0) << describe_exit(run);
//
//     child_process test({platterfell_binary(), "-y", "-n", "3", disk.path()}, options);
//     ASSERT_TRUE(test.wait_for_stderr("pass: 1/3", 30)) << test.err();
//     test.send_signal(SIGINT);
//     child_result run = test.wait(30);

enum class child_stdin {
    null_device, // /dev/null
    text,        // a pipe carrying child_options::stdin_text, then end of file
    closed,      // no descriptor 0 at all
};

struct child_options {
    child_stdin input = child_stdin::null_device;
    std::string stdin_text;       // what the pipe carries when input is child_stdin::text
    bool keep_stdin_open = false; // leave that pipe open after the text (close_stdin())
    std::vector<std::string> env; // extra "NAME=value" entries, e.g. LD_PRELOAD
    bool as_nobody = false;       // run as uid/gid 65534 (setresgid/setresuid before exec)
    double timeout_seconds = 120; // run_child kills the child with SIGKILL past this
};

struct child_result : child_exit {
    std::string out;    // everything written to stdout
    std::string err;    // everything written to stderr
    double seconds = 0; // from start to exit
};

// "exit status 1; stderr: ..." for assertion messages.
std::string describe_exit(const child_result& result);

// Runs ARGV to its end (or its timeout) and gives what it did. Throws
// std::runtime_error when the program cannot be started.
child_result run_child(const std::vector<std::string>& argv, const child_options& options = {});

// A running child whose output is collected while the test waits on it.
// Destruction kills (SIGKILL) and reaps a child that is still running. The
// child gets SIGKILL if the thread that started it ends; the test process
// ignores SIGPIPE from then on (a child may close its stdin early).
class child_process {
  public:
    child_process(const std::vector<std::string>& argv, const child_options& options = {});
    ~child_process();
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    pid_t pid() const { return watch_->pid(); }
    // Sends SIG unless the child has been reaped.
    void send_signal(int sig) { watch_->send_signal(sig); }
    // Waits until TEXT appears in stderr (stdout) after the end of the
    // previous match of the same stream; false when the child ends or the
    // time runs out first.
    bool wait_for_stderr(const std::string& text, double timeout_seconds);
    bool wait_for_stdout(const std::string& text, double timeout_seconds);
    // Output collected so far.
    const std::string& err() const { return result_.err; }
    const std::string& out() const { return result_.out; }
    // More bytes for a child_stdin::text pipe, and its end.
    void write_stdin(const std::string& bytes);
    void close_stdin();
    // Whether the child is still running (collects output meanwhile).
    bool running();
    // Waits for the end; past TIMEOUT_SECONDS kills it with SIGKILL.
    child_result wait(double timeout_seconds);

  private:
    bool wait_for(const std::string& stream, std::size_t& from, const std::string& text,
                  double timeout_seconds);
    void pump(double max_wait_seconds);
    void close_fd(int& fd);

    std::unique_ptr<child_watch> watch_;
    child_result result_;
    double started_;
    int out_fd_ = -1;
    int err_fd_ = -1;
    int in_fd_ = -1;
    std::string pending_in_;
    bool close_in_when_sent_;
    std::size_t err_from_ = 0;
    std::size_t out_from_ = 0;
};

// The platterfell binary of this build tree.
const char* platterfell_binary();
// The call-failing preload library of this build tree (for LD_PRELOAD=).
const char* preload_library();
