// SPDX-License-Identifier: MIT
#include "support/pty_child.h"

#include "support/io_util.h"

#include <gtest/gtest.h>

#include <signal.h>

namespace {

TEST(PtyChild, SeesIcanonTurnedOffAndBackOn) {
    pty_child child({"sh", "-c",
                     "stty -icanon; echo ready; dd bs=1 count=1 2>/dev/null | od -An -tx1; "
                     "stty icanon; echo restored; sleep 0.2"});
    ASSERT_TRUE(child.wait_for("ready", 10)) << child.output();
    ASSERT_TRUE(child.wait_for_raw_mode(10));
    EXPECT_FALSE(child.terminal_settings().c_lflag & ICANON);
    child.send("q"); // one byte, no newline: only raw mode delivers it
    ASSERT_TRUE(child.wait_for(" 71", 10)) << child.output();
    ASSERT_TRUE(child.wait_for("restored", 10)) << child.output();
    EXPECT_TRUE(child.wait_for_canonical_mode(10));
    const child_exit how = child.wait_exit(10);
    EXPECT_TRUE(how.exited) << describe_exit(how);
    EXPECT_EQ(how.exit_code, 0);
}

TEST(PtyChild, CanonicalModeWaitsForTheWholeLine) {
    pty_child child({"sh", "-c", "echo ready; dd bs=1 count=1 2>/dev/null | od -An -tx1"});
    ASSERT_TRUE(child.wait_for("ready", 10));
    EXPECT_TRUE(child.terminal_settings().c_lflag & ICANON);
    EXPECT_FALSE(child.wait_for_raw_mode(0.2));
    child.send("z");
    EXPECT_FALSE(child.wait_for(" 7a", 0.3)) << "a cooked terminal held back the key";
    child.send("\n");
    EXPECT_TRUE(child.wait_for(" 7a", 10)) << child.output();
    child.wait_exit(10);
}

TEST(PtyChild, TheTerminalIsControllingAndOnEveryStream) {
    pty_child child({"sh", "-c",
                     "[ -t 0 ] && [ -t 1 ] && [ -t 2 ] && echo all-tty; "
                     "exec 3</dev/tty && echo controlling"});
    const child_exit how = child.wait_exit(10);
    EXPECT_EQ(how.exit_code, 0) << child.output();
    EXPECT_NE(child.output().find("all-tty"), std::string::npos) << child.output();
    EXPECT_NE(child.output().find("controlling"), std::string::npos) << child.output();
}

TEST(PtyChild, StdoutToAPipeKeepsTheStreamsApart) {
    pty_options options;
    options.stdout_to_pipe = true;
    pty_child child({"sh", "-c", "echo to-out; echo to-err >&2; [ -t 1 ] || echo not-tty"},
                    options);
    child.wait_exit(10);
    EXPECT_EQ(child.stdout_output(), "to-out\nnot-tty\n");
    EXPECT_NE(child.output().find("to-err"), std::string::npos);
    EXPECT_EQ(child.output().find("to-out"), std::string::npos);
}

TEST(PtyChild, CtrlCRaisesSigint) {
    pty_child child({"sh", "-c", "echo ready; exec sleep 20"});
    ASSERT_TRUE(child.wait_for("ready", 10));
    const double start = io_now();
    child.send("\x03");
    const child_exit how = child.wait_exit(10);
    EXPECT_EQ(how.signal, SIGINT) << describe_exit(how);
    EXPECT_LT(io_now() - start, 5);
}

TEST(PtyChild, OutputWrittenJustBeforeExitIsKept) {
    pty_child child({"sh", "-c", "printf 'last words'; exit 4"});
    const child_exit how = child.wait_exit(10);
    EXPECT_TRUE(how.exited);
    EXPECT_EQ(how.exit_code, 4);
    EXPECT_NE(child.output().find("last words"), std::string::npos) << child.output();
    EXPECT_FALSE(child.wait_for("more", 0.1));
    EXPECT_NO_THROW(child.terminal_settings());
}

TEST(PtyChild, WaitExitKillsAChildPastItsTime) {
    pty_child child({"sleep", "20"});
    const double start = io_now();
    const child_exit how = child.wait_exit(0.2);
    EXPECT_TRUE(how.timed_out);
    EXPECT_EQ(how.signal, SIGKILL);
    EXPECT_LT(io_now() - start, 5);
}

TEST(PtyChild, SignalsReachTheChild) {
    pty_child child({"sh", "-c",
                     "trap 'echo got-term; exit 7' TERM; echo ready; "
                     "while :; do sleep 0.02; done"});
    ASSERT_TRUE(child.wait_for("ready", 10));
    child.send_signal(SIGTERM);
    const child_exit how = child.wait_exit(10);
    EXPECT_EQ(how.exit_code, 7) << describe_exit(how);
    EXPECT_NE(child.output().find("got-term"), std::string::npos);
}

} // namespace
