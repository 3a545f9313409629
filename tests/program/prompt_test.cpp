// SPDX-License-Identifier: MIT
// The confirmation prompt of the built program: on a real pseudo-terminal as
// at a console, and with standard input from a pipe, a file or nothing. The
// device behind it is a scratch loop device full of a known byte, read back
// with O_DIRECT to tell whether anything was written.
#include "program/program_helpers.h"

#include "support/process.h"
#include "support/devices.h"
#include "support/io_util.h"
#include "support/process.h"

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

// The settings a new pseudo-terminal starts with, the ones every terminal child
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

// Whether the process has stopped, from the state in /proc/PID/stat.
bool wait_until_stopped(pid_t pid, double timeout_seconds) {
    const std::string stat_path = "/proc/" + std::to_string(pid) + "/stat";
    for (const double deadline = io_now() + timeout_seconds; io_now() < deadline;) {
        const std::string stat = io_read_text_or_empty(stat_path);
        const std::size_t state = stat.rfind(") ");
        if (state != std::string::npos && stat.compare(state + 2, 1, "T") == 0)
            return true;
        usleep(10000);
    }
    return false;
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

    // The line naming the device and the question, as a pipe and as a
    // terminal show them.
    std::string asked() const { return expected_device_line(*disk_) + expected_prompt; }
    std::string asked_on_terminal() const {
        std::string line = expected_device_line(*disk_);
        line.insert(line.size() - 1, "\r");
        return line + expected_prompt_on_terminal;
    }

    bool untouched() const { return disk_->read_all() == bytes_of(device_bytes, fill_byte); }

    // Whether the run went over the whole device: it now holds copies of one
    // block of varied bytes from start to end, no longer the fill.
    bool overwritten() const {
        const std::vector<unsigned char> bytes = disk_->read_all();
        return bytes != bytes_of(device_bytes, fill_byte) &&
               holds_copies_of_one_block(bytes, 4096, false);
    }

    // The program on a pty of its own, stdout to a pipe, waiting at the
    // prompt with the prompt settings in force.
    std::unique_ptr<child_process> at_prompt(const std::vector<std::string>& extra_args = {}) {
        child_options options;
        options.terminal = true;
        std::vector<std::string> argv{platterfell_binary()};
        argv.insert(argv.end(), extra_args.begin(), extra_args.end());
        argv.push_back(device());
        auto run = std::make_unique<child_process>(argv, options);
        EXPECT_TRUE(run->wait_for_stderr(expected_prompt_on_terminal, 10)) << run->err();
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
    run->write_stdin("n");
    EXPECT_EQ(run->wait(10).exit_code, 0);
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
    run->write_stdin(GetParam().keys);
    const child_exit how = run->wait(10);
    EXPECT_TRUE(how.exited) << describe_exit(how);
    EXPECT_EQ(how.exit_code, 0) << describe_exit(how);
    EXPECT_EQ(run->err(), asked_on_terminal() + GetParam().echo);
    EXPECT_EQ(run->out(), "");
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
    run->write_stdin(GetParam());
    EXPECT_FALSE(run->wait_for_stderr("\n", 0.4)) << run->err();
    EXPECT_TRUE(still_running(run->pid())) << "the program ended on a key that is no answer";
    EXPECT_EQ(run->err(), asked_on_terminal());
    EXPECT_FALSE(run->terminal_settings().c_lflag & ICANON) << "the prompt stopped waiting";
    run->write_stdin("n");
    const child_exit how = run->wait(10);
    EXPECT_EQ(how.exit_code, 0) << describe_exit(how);
    EXPECT_EQ(run->err(), asked_on_terminal() + "n\r\n");
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

// A key typed before the question is no answer to it: the prompt throws it
// away and waits. The shell waits so that the key is surely there first (the
// terminal, still cooked, echoes it itself).
TEST_F(Prompt, KeyTypedAheadIsDiscarded) {
    child_options options;
    options.terminal = true;
    child_process run({"sh", "-c", "sleep 0.5; exec \"$0\" \"$1\"", platterfell_binary(), device()},
                      options);
    run.write_stdin("y");
    ASSERT_TRUE(run.wait_for_stderr(expected_prompt_on_terminal, 10)) << run.err();
    ASSERT_TRUE(run.wait_for_raw_mode(10));
    EXPECT_FALSE(run.wait_for_stderr("\n", 0.4)) << "the key typed ahead answered: " << run.err();
    run.write_stdin("n");
    const child_exit how = run.wait(10);
    EXPECT_EQ(how.exit_code, 0) << describe_exit(how);
    EXPECT_EQ(run.err(), "y" + asked_on_terminal() + "n\r\n");
    EXPECT_TRUE(untouched()) << "the device was written to";
}

// After a stop the shell puts its own settings back; once continued, the
// prompt takes a single key again. (SIGSTOP: a pty child's process group is
// orphaned, and the kernel drops a terminal stop sent to such a group.)
TEST_F(Prompt, StopAndContinueAppliesThePromptSettingsAgain) {
    const termios before = fresh_terminal_settings();
    auto run = at_prompt();
    run->send_signal(SIGSTOP);
    ASSERT_TRUE(wait_until_stopped(run->pid(), 10));
    run->set_terminal_settings(before);
    run->send_signal(SIGCONT);
    ASSERT_TRUE(run->wait_for_raw_mode(10)) << "the prompt waits in canonical mode";
    run->write_stdin("n");
    const child_exit how = run->wait(10);
    EXPECT_EQ(how.exit_code, 0) << describe_exit(how);
    EXPECT_EQ(run->err(), asked_on_terminal() + "n\r\n");
    expect_settings_as_before(run->terminal_settings(), before);
}

TEST_F(Prompt, LowerCaseYesStartsTheRun) {
    auto run = at_prompt();
    run->write_stdin("y");
    const child_exit how = run->wait(30);
    EXPECT_TRUE(how.exited) << describe_exit(how);
    EXPECT_EQ(how.exit_code, 0) << describe_exit(how);
    EXPECT_EQ(run->err().substr(0, asked_on_terminal().size() + 3), asked_on_terminal() + "y\r\n");
    EXPECT_EQ(run->out(), "\n");
    EXPECT_TRUE(overwritten()) << "the run left bytes of the fill on the device";
}

TEST_F(Prompt, UpperCaseYesStartsTheRun) {
    auto run = at_prompt({"-z"});
    run->write_stdin("Y");
    const child_exit how = run->wait(30);
    EXPECT_EQ(how.exit_code, 0) << describe_exit(how);
    EXPECT_EQ(run->err().substr(0, asked_on_terminal().size() + 3), asked_on_terminal() + "Y\r\n");
    EXPECT_TRUE(disk_->read_all() == bytes_of(device_bytes, 0)) << "-z did not zero the device";
}

// ---- interrupt ------------------------------------------------------------------

struct ending_case {
    const char* name;
    std::string key; // typed at the terminal, or empty
    int signal;      // sent to the program when no key is typed; the signal it must die by
};

void PrintTo(const ending_case& c, std::ostream* out) {
    *out << c.name;
}

class EndedAtThePrompt : public Prompt, public testing::WithParamInterface<ending_case> {};

// The process dies by the signal, and the terminal has its settings back.
TEST_P(EndedAtThePrompt, RestoresTheTerminalAndDiesByTheSignal) {
    const termios before = fresh_terminal_settings();
    auto run = at_prompt();
    if (GetParam().key.empty())
        run->send_signal(GetParam().signal);
    else
        run->write_stdin(GetParam().key);
    const child_exit how = run->wait(10);
    EXPECT_FALSE(how.exited) << describe_exit(how);
    EXPECT_EQ(how.signal, GetParam().signal) << describe_exit(how);
    EXPECT_EQ(run->err(), asked_on_terminal());
    EXPECT_EQ(run->out(), "");
    expect_settings_as_before(run->terminal_settings(), before);
    EXPECT_TRUE(untouched()) << "the device was written to";
}

INSTANTIATE_TEST_SUITE_P(
    Signals, EndedAtThePrompt,
    testing::Values(ending_case{"CtrlC", "\x03", SIGINT}, ending_case{"Interrupt", "", SIGINT},
                    ending_case{"Terminate", "", SIGTERM}, ending_case{"Quit", "", SIGQUIT},
                    ending_case{"HangUp", "", SIGHUP}),
    [](const testing::TestParamInfo<ending_case>& info) { return std::string(info.param.name); });

// ---- standard input that is no terminal -------------------------------------------

struct piped_case {
    child_stdin input;
    std::string text; // the pipe's content
    std::string echo; // after the prompt
    int status;       // 0 for an n, 1 when the input ends unanswered
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

// A pipe or file that says no, or ends before any answer, declines at once;
// only an n that was given is a clean "no".
TEST_P(PipedDecline, EndsAtOnceAndTheDeviceUntouched) {
    child_options options;
    options.input = GetParam().input;
    options.stdin_text = GetParam().text;
    options.timeout_seconds = 20;
    const child_result run = run_platterfell({device()}, options);
    EXPECT_FALSE(run.timed_out) << "the prompt hung";
    EXPECT_LT(run.seconds, 10) << "no pause lies on this path; 20 s is the hang";
    EXPECT_EQ(run.err, asked() + GetParam().echo);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(run.exited) << describe_exit(run);
    EXPECT_EQ(run.exit_code, GetParam().status) << describe_exit(run);
    EXPECT_TRUE(untouched()) << "the device was written to";
}

INSTANTIATE_TEST_SUITE_P(Answers, PipedDecline,
                         testing::Values(piped_case{child_stdin::text, "nope", "n\n", 0},
                                         piped_case{child_stdin::text, "nope\nyes\n", "n\n", 0},
                                         piped_case{child_stdin::text, "Nein", "N\n", 0},
                                         piped_case{child_stdin::text, "\xd9\xf9 ok? no", "n\n",
                                                    0}));

// End of input before any answer.
INSTANTIATE_TEST_SUITE_P(EndOfInput, PipedDecline,
                         testing::Values(piped_case{child_stdin::null_device, "", "\n", 1},
                                         piped_case{child_stdin::text, "", "\n", 1},
                                         piped_case{child_stdin::text, "q1 \x04\n", "\n", 1}));

// Without a descriptor 0 the device must not take its place: a disk full of
// y would answer its own prompt.
TEST_F(Prompt, ClosedInputIsNoAnswerEvenFromADiskFullOfYes) {
    disk_->fill('y');
    child_options options;
    options.input = child_stdin::closed;
    const child_result run = run_platterfell({device()}, options);
    EXPECT_EQ(run.err, asked() + "\n");
    EXPECT_EQ(run.exit_code, 1) << describe_exit(run);
    EXPECT_TRUE(disk_->read_all() == bytes_of(device_bytes, 'y')) << "the device was written to";
}

TEST_F(Prompt, PipedMaybeAccepts) {
    child_options options;
    options.input = child_stdin::text;
    options.stdin_text = "maybe";
    const child_result run = run_platterfell({device()}, options);
    EXPECT_EQ(run.err.substr(0, asked().size() + 2), asked() + "y\n");
    EXPECT_EQ(run.out, "\n");
    EXPECT_TRUE(run.exited) << describe_exit(run);
    EXPECT_EQ(run.exit_code, 0) << describe_exit(run);
    EXPECT_TRUE(overwritten()) << "the run left bytes of the fill on the device";
}

} // namespace
