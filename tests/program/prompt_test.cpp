// SPDX-License-Identifier: MIT
// The confirmation prompt of the built program: on a real pseudo-terminal as
// at a console, and with standard input from a pipe, a file or nothing. The
// device behind it is a scratch loop device full of a known byte, read back
// with O_DIRECT to tell whether anything was written.
#include "program/program_helpers.h"

#include "support/child.h"
#include "support/device_gate.h"
#include "support/io_util.h"
#include "support/pty_child.h"
#include "support/scratch_device.h"

#include <gtest/gtest.h>

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

constexpr std::size_t device_bytes = 1 << 20;
constexpr unsigned char fill_byte = 0xc3;

// The settings a new pseudo-terminal starts with, the ones every pty_child
// has before the program touches them.
termios fresh_terminal_settings() {
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    termios settings{};
    const int got = tcgetattr(slave, &settings);
    close(slave);
    close(master);
    if (got != 0)
        throw std::runtime_error("tcgetattr failed on a new pseudo-terminal");
    return settings;
}

// Whether the settings are those of a new terminal in everything a prompt
// could change or forget to restore.
void expect_settings_as_before(const termios& now, const termios& before) {
    EXPECT_TRUE(now.c_lflag & ICANON) << "ICANON left off";
    EXPECT_TRUE(now.c_lflag & ECHO) << "ECHO left off";
    EXPECT_EQ(now.c_lflag, before.c_lflag);
    EXPECT_EQ(now.c_iflag, before.c_iflag);
    EXPECT_EQ(now.c_oflag, before.c_oflag);
    EXPECT_EQ(now.c_cflag, before.c_cflag);
    EXPECT_EQ(now.c_cc[VMIN], before.c_cc[VMIN]);
    EXPECT_EQ(now.c_cc[VTIME], before.c_cc[VTIME]);
}

class Prompt : public testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_LOOP_DEVICES();
        disk_ = std::make_unique<scratch_device>(device_bytes, 512);
        disk_->fill(fill_byte);
    }

    const std::string& device() const { return disk_->path(); }

    bool untouched() const { return disk_->read_all() == bytes_of(device_bytes, fill_byte); }

    // Whether the run went over the whole device: the random test bytes are
    // all below 128, so not one byte of the fill is left.
    bool overwritten() const {
        for (unsigned char byte : disk_->read_all())
            if (byte == fill_byte)
                return false;
        return true;
    }

    // The program on a pty of its own, stdout to a pipe, waiting at the
    // prompt with the prompt settings in force.
    std::unique_ptr<pty_child> at_prompt(const std::vector<std::string>& extra_args = {}) {
        pty_options options;
        options.stdout_to_pipe = true;
        std::vector<std::string> argv{platterfell_binary()};
        argv.insert(argv.end(), extra_args.begin(), extra_args.end());
        argv.push_back(device());
        auto run = std::make_unique<pty_child>(argv, options);
        EXPECT_TRUE(run->wait_for(expected_prompt_on_terminal, 10)) << run->output();
        EXPECT_TRUE(run->wait_for_raw_mode(10));
        return run;
    }

    std::unique_ptr<scratch_device> disk_;
};

// ---- on a terminal ---------------------------------------------------------------

TEST_F(Prompt, TerminalSettingsWhileWaiting) {
    const termios before = fresh_terminal_settings();
    auto run = at_prompt();
    const termios now = run->terminal_settings();
    // Only ICANON and ECHO are cleared; ISIG stays, so Ctrl-C still interrupts.
    EXPECT_EQ(now.c_lflag, before.c_lflag & ~tcflag_t(ICANON | ECHO));
    EXPECT_TRUE(now.c_lflag & ISIG);
    EXPECT_EQ(now.c_iflag, before.c_iflag);
    EXPECT_EQ(now.c_oflag, before.c_oflag);
    EXPECT_EQ(now.c_cflag, before.c_cflag);
    EXPECT_EQ(now.c_cc[VMIN], 1);
    EXPECT_EQ(now.c_cc[VTIME], 0);
    run->send("n");
    EXPECT_EQ(run->wait_exit(10).exit_code, 0);
}

struct answer_case {
    std::string keys; // typed at the prompt, in one go
    std::string echo; // what the program writes after the prompt
};

void PrintTo(const answer_case& c, std::ostream* out) {
    *out << testing::PrintToString(c.keys);
}

class Declined : public Prompt, public testing::WithParamInterface<answer_case> {};

TEST_P(Declined, EndsWithStatusZeroAndTheDeviceUntouched) {
    const termios before = fresh_terminal_settings();
    auto run = at_prompt();
    run->send(GetParam().keys);
    const child_exit how = run->wait_exit(10);
    EXPECT_TRUE(how.exited) << describe_exit(how);
    EXPECT_EQ(how.exit_code, 0) << describe_exit(how);
    EXPECT_EQ(run->output(), expected_prompt_on_terminal + GetParam().echo);
    EXPECT_EQ(run->stdout_output(), "");
    expect_settings_as_before(run->terminal_settings(), before);
    EXPECT_TRUE(untouched()) << "the device was written to";
}

// The first y or n decides; what comes after it is not read.
INSTANTIATE_TEST_SUITE_P(Keys, Declined,
                         testing::Values(answer_case{"n", "n\r\n"}, answer_case{"N", "N\r\n"},
                                         answer_case{"nY", "n\r\n"}, answer_case{"q1 \rN", "N\r\n"},
                                         answer_case{"\x1b[A\x04n", "n\r\n"},
                                         answer_case{"\xd9\xf9n", "n\r\n"}));

class JunkKey : public Prompt, public testing::WithParamInterface<std::string> {};

// A key that is neither y nor n gives no output and no answer.
TEST_P(JunkKey, IsIgnored) {
    auto run = at_prompt();
    run->send(GetParam());
    EXPECT_FALSE(run->wait_for("\n", 0.4)) << run->output();
    EXPECT_TRUE(still_running(run->pid())) << "the program ended on a key that is no answer";
    EXPECT_EQ(run->output(), expected_prompt_on_terminal);
    EXPECT_FALSE(run->terminal_settings().c_lflag & ICANON) << "the prompt stopped waiting";
    run->send("n");
    const child_exit how = run->wait_exit(10);
    EXPECT_EQ(how.exit_code, 0) << describe_exit(how);
    EXPECT_EQ(run->output(), expected_prompt_on_terminal + "n\r\n");
    EXPECT_TRUE(untouched()) << "the device was written to";
}

INSTANTIATE_TEST_SUITE_P(Keys, JunkKey,
                         testing::Values("q", "1", " ", "\r", "\n", "\x1b[A", "\x1b[B", "\x04",
                                         "\x7f", "\xd9", "\xce", "qqqq1234"),
                         [](const testing::TestParamInfo<std::string>& info) {
                             std::string name;
                             for (unsigned char ch : info.param)
                                 name += "x" + std::to_string(ch);
                             return name;
                         });

// A key typed before the prompt came is not thrown away when the prompt
// settings are applied: it answers at once. The shell waits so that the key
// is surely there first (the terminal, still cooked, echoes it itself).
TEST_F(Prompt, KeyTypedAheadAnswers) {
    pty_options options;
    options.stdout_to_pipe = true;
    pty_child run({"sh", "-c", "sleep 0.5; exec \"$0\" \"$1\"", platterfell_binary(), device()},
                  options);
    run.send("n");
    const child_exit how = run.wait_exit(10);
    EXPECT_TRUE(how.exited) << describe_exit(how);
    EXPECT_EQ(how.exit_code, 0) << describe_exit(how);
    EXPECT_EQ(run.output(), "n" + expected_prompt_on_terminal + "n\r\n");
    EXPECT_TRUE(untouched()) << "the device was written to";
}

TEST_F(Prompt, LowerCaseYesStartsTheRun) {
    auto run = at_prompt();
    run->send("y");
    const child_exit how = run->wait_exit(30);
    EXPECT_TRUE(how.exited) << describe_exit(how);
    EXPECT_EQ(how.exit_code, 0) << describe_exit(how);
    EXPECT_EQ(run->output().substr(0, expected_prompt_on_terminal.size() + 3),
              expected_prompt_on_terminal + "y\r\n");
    EXPECT_EQ(run->stdout_output(), "\n");
    EXPECT_TRUE(overwritten()) << "the run left bytes of the fill on the device";
}

TEST_F(Prompt, UpperCaseYesStartsTheRun) {
    auto run = at_prompt({"-z"});
    run->send("Y");
    const child_exit how = run->wait_exit(30);
    EXPECT_EQ(how.exit_code, 0) << describe_exit(how);
    EXPECT_EQ(run->output().substr(0, expected_prompt_on_terminal.size() + 3),
              expected_prompt_on_terminal + "Y\r\n");
    EXPECT_TRUE(disk_->read_all() == bytes_of(device_bytes, 0)) << "-z did not zero the device";
}

// ---- interrupt ------------------------------------------------------------------

class Interrupted : public Prompt, public testing::WithParamInterface<bool> {};

// The process dies by SIGINT, and the terminal has its settings back.
TEST_P(Interrupted, RestoresTheTerminalAndDiesBySigint) {
    const termios before = fresh_terminal_settings();
    auto run = at_prompt();
    if (GetParam())
        run->send("\x03");
    else
        run->send_signal(SIGINT);
    const child_exit how = run->wait_exit(10);
    EXPECT_FALSE(how.exited) << describe_exit(how);
    EXPECT_EQ(how.signal, SIGINT) << describe_exit(how);
    EXPECT_EQ(run->output(), expected_prompt_on_terminal);
    EXPECT_EQ(run->stdout_output(), "");
    expect_settings_as_before(run->terminal_settings(), before);
    EXPECT_TRUE(untouched()) << "the device was written to";
}

INSTANTIATE_TEST_SUITE_P(How, Interrupted, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("CtrlC") : std::string("Kill");
                         });

// ---- standard input that is no terminal -------------------------------------------

struct piped_case {
    child_stdin input;
    std::string text; // the pipe's content
    std::string echo; // after the prompt
};

void PrintTo(const piped_case& c, std::ostream* out) {
    if (c.input == child_stdin::null_device)
        *out << "/dev/null";
    else if (c.input == child_stdin::closed)
        *out << "closed";
    else
        *out << testing::PrintToString(c.text);
}

class PipedDecline : public Prompt, public testing::WithParamInterface<piped_case> {};

// A pipe or file that says no, or ends before any answer, declines at once.
TEST_P(PipedDecline, EndsWithStatusZeroAndTheDeviceUntouched) {
    child_options options;
    options.input = GetParam().input;
    options.stdin_text = GetParam().text;
    options.timeout_seconds = 20;
    const child_result run = run_platterfell({device()}, options);
    EXPECT_FALSE(run.timed_out) << "the prompt hung";
    EXPECT_LT(run.seconds, 5);
    EXPECT_EQ(run.err, expected_prompt + GetParam().echo);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(run.exited) << describe_exit(run);
    EXPECT_EQ(run.exit_code, 0) << describe_exit(run);
    EXPECT_TRUE(untouched()) << "the device was written to";
}

INSTANTIATE_TEST_SUITE_P(Answers, PipedDecline,
                         testing::Values(piped_case{child_stdin::text, "nope", "n\n"},
                                         piped_case{child_stdin::text, "nope\nyes\n", "n\n"},
                                         piped_case{child_stdin::text, "Nein", "N\n"},
                                         piped_case{child_stdin::text, "\xd9\xf9 ok? no", "n\n"}));

// End of input, or a read error (no descriptor 0 at all), before any answer.
INSTANTIATE_TEST_SUITE_P(EndOfInput, PipedDecline,
                         testing::Values(piped_case{child_stdin::null_device, "", "\n"},
                                         piped_case{child_stdin::text, "", "\n"},
                                         piped_case{child_stdin::text, "q1 \x04\n", "\n"},
                                         piped_case{child_stdin::closed, "", "\n"}));

TEST_F(Prompt, PipedMaybeAccepts) {
    child_options options;
    options.input = child_stdin::text;
    options.stdin_text = "maybe";
    const child_result run = run_platterfell({device()}, options);
    EXPECT_EQ(run.err.substr(0, expected_prompt.size() + 2), expected_prompt + "y\n");
    EXPECT_EQ(run.out, "\n");
    EXPECT_TRUE(run.exited) << describe_exit(run);
    EXPECT_EQ(run.exit_code, 0) << describe_exit(run);
    EXPECT_TRUE(overwritten()) << "the run left bytes of the fill on the device";
}

} // namespace
