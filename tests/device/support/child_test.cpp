// SPDX-License-Identifier: MIT
#include "support/child.h"

#include "support/device_gate.h"
#include "support/io_util.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

namespace {

TEST(RunChild, CapturesStdoutStderrAndExitCode) {
    const child_result result = run_child({"sh", "-c", "printf out; printf err >&2; exit 3"});
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exit_code, 3);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.out, "out");
    EXPECT_EQ(result.err, "err");
    EXPECT_FALSE(result.timed_out);
    EXPECT_GT(result.seconds, 0);
}

TEST(RunChild, PipesStdinText) {
    child_options options;
    options.input = child_stdin::text;
    options.stdin_text = std::string(200000, 'y') + "\nend\n";
    const child_result result = run_child({"sh", "-c", "wc -c; echo done"}, options);
    EXPECT_EQ(result.out, "200005\ndone\n") << describe_exit(result);
}

TEST(RunChild, DefaultStdinIsNullDevice) {
    const child_result result = run_child({"sh", "-c", "cat; readlink /proc/$$/fd/0; echo done"});
    EXPECT_EQ(result.out, "/dev/null\ndone\n");
}

TEST(RunChild, ClosedStdinLeavesNoDescriptorZero) {
    child_options options;
    options.input = child_stdin::closed;
    const child_result result = run_child(
        {"sh", "-c", "if [ -e /proc/$$/fd/0 ]; then echo open; else echo closed; fi"}, options);
    EXPECT_EQ(result.out, "closed\n");
}

TEST(RunChild, OnlyStandardDescriptorsAreInherited) {
    const child_result result = run_child({"sh", "-c", "ls /proc/$$/fd"});
    EXPECT_EQ(result.out, "0\n1\n2\n") << "descriptors of the test process leaked in";
}

TEST(RunChild, AddsAndReplacesEnvironmentEntries) {
    setenv("RIG_REPLACED", "old", 1);
    child_options options;
    options.env = {"RIG_EXTRA=one two", "RIG_REPLACED=new"};
    const child_result result = run_child(
        {"sh", "-c", "echo \"$RIG_EXTRA|$RIG_REPLACED\"; env | grep -c RIG_REPLACED"}, options);
    unsetenv("RIG_REPLACED");
    EXPECT_EQ(result.out, "one two|new\n1\n");
}

TEST(RunChild, RunsAsNobody) {
    REQUIRE_GATE(geteuid() == 0 ? "" : "running as uid 65534 needs root");
    child_options options;
    options.as_nobody = true;
    const child_result result = run_child({"sh", "-c", "id -u; id -g; id -G"}, options);
    EXPECT_EQ(result.out, "65534\n65534\n65534\n") << describe_exit(result);
}

TEST(RunChild, TimeoutKillsTheChild) {
    child_options options;
    options.timeout_seconds = 0.3;
    const child_result result = run_child({"sleep", "20"}, options);
    EXPECT_TRUE(result.timed_out);
    EXPECT_FALSE(result.exited);
    EXPECT_EQ(result.signal, SIGKILL);
    EXPECT_LT(result.seconds, 5);
    EXPECT_GE(result.seconds, 0.29);
}

TEST(RunChild, ReportsTheSignalThatEndedIt) {
    const child_result result = run_child({"sh", "-c", "kill -TERM $$"});
    EXPECT_FALSE(result.exited);
    EXPECT_EQ(result.signal, SIGTERM);
    EXPECT_FALSE(result.timed_out);
}

TEST(RunChild, ThrowsWhenTheProgramCannotRun) {
    EXPECT_THROW(run_child({"/nonexistent/program"}), std::runtime_error);
    EXPECT_THROW(run_child({"no-such-program-on-path"}), std::runtime_error);
}

TEST(RunChild, SignalDispositionsAreReset) {
    signal(SIGINT, SIG_IGN);
    const child_result result = run_child({"sh", "-c", "kill -INT $$; sleep 5"});
    signal(SIGINT, SIG_DFL);
    EXPECT_EQ(result.signal, SIGINT) << describe_exit(result);
}

TEST(ChildProcess, SigintWhenTextAppearsOnStderr) {
    child_process child({"sh", "-c",
                         "trap 'echo interrupted >&2; exit 130' INT; echo 'pass: 1/3' >&2; "
                         "while :; do sleep 0.02; done"});
    ASSERT_TRUE(child.wait_for_stderr("pass: 1/3", 10)) << child.err();
    EXPECT_TRUE(child.running());
    child.send_signal(SIGINT);
    const child_result result = child.wait(10);
    EXPECT_TRUE(result.exited) << describe_exit(result);
    EXPECT_EQ(result.exit_code, 130);
    EXPECT_EQ(result.err, "pass: 1/3\ninterrupted\n");
}

TEST(ChildProcess, WaitForStderrGivesUpWhenTheChildEnds) {
    child_process child({"sh", "-c", "echo something >&2"});
    const double start = io_now();
    EXPECT_FALSE(child.wait_for_stderr("never printed", 10));
    EXPECT_LT(io_now() - start, 5);
    EXPECT_EQ(child.err(), "something\n");
}

TEST(ChildProcess, WaitForFindsSuccessiveMatches) {
    child_process child({"sh", "-c", "echo tick; sleep 0.1; echo tick"});
    EXPECT_TRUE(child.wait_for_stdout("tick", 10));
    EXPECT_TRUE(child.wait_for_stdout("tick", 10));
    EXPECT_FALSE(child.wait_for_stdout("tick", 1));
}

TEST(ChildProcess, StdinCanStayOpenUntilClosed) {
    child_options options;
    options.input = child_stdin::text;
    options.stdin_text = "first\n";
    options.keep_stdin_open = true;
    child_process child({"sh", "-c", "while read -r line; do echo \"got $line\"; done; echo eof"},
                        options);
    ASSERT_TRUE(child.wait_for_stdout("got first\n", 10));
    child.write_stdin("second\n");
    ASSERT_TRUE(child.wait_for_stdout("got second\n", 10));
    child.close_stdin();
    const child_result result = child.wait(10);
    EXPECT_EQ(result.out, "got first\ngot second\neof\n");
}

TEST(ChildProcess, DestructorKillsARunningChild) {
    pid_t pid = -1;
    {
        child_process child({"sleep", "20"});
        pid = child.pid();
        EXPECT_EQ(kill(pid, 0), 0);
    }
    EXPECT_NE(kill(pid, 0), 0) << "the child outlived its record";
}

} // namespace
