// SPDX-License-Identifier: MIT
#include "cli/options.h"
#include "cli/run_settings.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace {

// An option value as typed on a command line, with its blanks made visible.
std::string shown(const std::string& text) {
    std::string out = "'";
    for (char ch : text) {
        if (ch == '\t')
            out += "\\t";
        else if (ch == '\n')
            out += "\\n";
        else
            out += ch;
    }
    return out + "'";
}

// ---- parse_size ----------------------------------------------------------

struct size_case {
    const char* text;
    int result;
    uint32_t value; // checked only when result is 0
};

void PrintTo(const size_case& c, std::ostream* out) {
    *out << shown(c.text);
}

class ParseSize : public testing::TestWithParam<size_case> {};

TEST_P(ParseSize, GivesResultAndValue) {
    const size_case& c = GetParam();
    uint32_t field = 12345;
    EXPECT_EQ(parse_size(c.text, &field), c.result) << "text " << shown(c.text);
    if (c.result == 0) {
        EXPECT_EQ(field, c.value) << "text " << shown(c.text);
    }
}

INSTANTIATE_TEST_SUITE_P(Accepted, ParseSize,
                         testing::Values(size_case{"512", 0, 512}, size_case{"64k", 0, 65536},
                                         size_case{"64K", 0, 65536}, size_case{"1M", 0, 1048576},
                                         size_case{"1m", 0, 1048576}, size_case{"32m", 0, 33554432},
                                         size_case{"4096", 0, 4096}, size_case{"010", 0, 10},
                                         size_case{"  64k", 0, 65536}, size_case{"\t512", 0, 512},
                                         size_case{"+512", 0, 512},
                                         size_case{"2147479552", 0, 2147479552},
                                         size_case{"2047m", 0, 2146435072},
                                         size_case{"2097148k", 0, 2147479552}));

INSTANTIATE_TEST_SUITE_P(UnknownSuffix, ParseSize,
                         testing::Values(size_case{"4g", 1, 0}, size_case{"4G", 1, 0},
                                         size_case{"4 ", 1, 0}, size_case{"4b", 1, 0},
                                         size_case{"512\n", 1, 0}));

INSTANTIATE_TEST_SUITE_P(Invalid, ParseSize,
                         testing::Values(size_case{"4kb", 2, 0}, size_case{"0", 2, 0},
                                         size_case{"0k", 2, 0}, size_case{"0m", 2, 0},
                                         size_case{"k", 2, 0}, size_case{"1e3", 2, 0},
                                         size_case{"", 2, 0}, size_case{" ", 2, 0},
                                         size_case{"0x10", 2, 0}, size_case{"4  ", 2, 0},
                                         size_case{"-0", 2, 0}));

// Values that do not fit the 31 bits the program can hold must not wrap.
INSTANTIATE_TEST_SUITE_P(OutOfRange, ParseSize,
                         testing::Values(size_case{"-512", 2, 0}, size_case{"-1k", 2, 0},
                                         size_case{"4096m", 2, 0}, size_case{"2048m", 2, 0},
                                         size_case{"4194304k", 2, 0}, size_case{"2097152k", 2, 0},
                                         size_case{"2147483648", 2, 0},
                                         size_case{"4294967296", 2, 0},
                                         size_case{"4294967808", 2, 0},
                                         size_case{"99999999999999999999", 2, 0},
                                         size_case{"-99999999999999999999", 2, 0}));

// One sector or one k above largest_block_size: larger than one transfer.
INSTANTIATE_TEST_SUITE_P(AboveTheLargestBlock, ParseSize,
                         testing::Values(size_case{"2147480064", 2, 0},
                                         size_case{"2097149k", 2, 0}));

// ---- parse_count ---------------------------------------------------------

struct count_case {
    const char* text;
    int result;
    uint32_t value; // checked only when result is 0
};

void PrintTo(const count_case& c, std::ostream* out) {
    *out << shown(c.text);
}

class ParseCount : public testing::TestWithParam<count_case> {};

TEST_P(ParseCount, GivesResultAndValue) {
    const count_case& c = GetParam();
    uint32_t field = 12345;
    EXPECT_EQ(parse_count(c.text, &field), c.result) << "text " << shown(c.text);
    if (c.result == 0) {
        EXPECT_EQ(field, c.value) << "text " << shown(c.text);
    }
}

INSTANTIATE_TEST_SUITE_P(Accepted, ParseCount,
                         testing::Values(count_case{"1", 0, 1}, count_case{"4", 0, 4},
                                         count_case{"010", 0, 10}, count_case{"  3", 0, 3},
                                         count_case{"+7", 0, 7},
                                         count_case{"2147483647", 0, 2147483647}));

INSTANTIATE_TEST_SUITE_P(Invalid, ParseCount,
                         testing::Values(count_case{"0", 2, 0}, count_case{"2x", 2, 0},
                                         count_case{"", 2, 0}, count_case{"x", 2, 0},
                                         count_case{"3 ", 2, 0}, count_case{"4k", 2, 0},
                                         count_case{"0x10", 2, 0}, count_case{"1e3", 2, 0}));

INSTANTIATE_TEST_SUITE_P(OutOfRange, ParseCount,
                         testing::Values(count_case{"-1", 2, 0}, count_case{"2147483648", 2, 0},
                                         count_case{"4294967296", 2, 0},
                                         count_case{"4294967297", 2, 0},
                                         count_case{"99999999999999999999", 2, 0}));

// ---- read_options --------------------------------------------------------

struct options_run {
    int outcome;
    run_settings settings;
    int next_argument; // optind after the call
    int argc;
};

// Runs read_options over "platterfell ARGS..." with a fresh getopt state.
options_run read_with(const std::vector<std::string>& args) {
    std::vector<std::string> words{"platterfell"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    int argc = static_cast<int>(words.size());

#ifdef __GLIBC__
    optind = 0; // glibc: a full reinitialisation of getopt
#else
    optind = 1;
    optreset = 1;
#endif
    options_run run{};
    // getopt writes its own diagnostic for unknown letters and missing values;
    // keep it out of the test log.
    testing::internal::CaptureStderr();
    run.outcome = read_options(argc, argv.data(), &run.settings);
    testing::internal::GetCapturedStderr();
    run.next_argument = optind;
    run.argc = argc;
    return run;
}

TEST(ReadOptions, NoOptionsKeepTheDefaults) {
    options_run run = read_with({"/dev/x"});
    ASSERT_EQ(run.outcome, options_ok);
    EXPECT_EQ(run.settings.block_size, 4096u);
    EXPECT_EQ(run.settings.workers, 4u);
    EXPECT_EQ(run.settings.passes, 1u);
    EXPECT_FALSE(run.settings.skip_confirmation);
    EXPECT_FALSE(run.settings.zero_fill);
    EXPECT_EQ(run.next_argument, 1);
}

TEST(ReadOptions, NoArgumentsLeaveNoOperand) {
    options_run run = read_with({});
    ASSERT_EQ(run.outcome, options_ok);
    EXPECT_EQ(run.next_argument, run.argc);
}

TEST(ReadOptions, EveryOptionIsStored) {
    options_run run = read_with({"-b", "64k", "-w", "8", "-n", "3", "-y", "-z", "-r", "/dev/x"});
    ASSERT_EQ(run.outcome, options_ok);
    EXPECT_EQ(run.settings.block_size, 65536u);
    EXPECT_EQ(run.settings.workers, 8u);
    EXPECT_EQ(run.settings.passes, 3u);
    EXPECT_TRUE(run.settings.skip_confirmation);
    EXPECT_TRUE(run.settings.zero_fill);
    EXPECT_TRUE(run.settings.read_back);
    EXPECT_EQ(run.next_argument, 10);
}

TEST(ReadOptions, GroupedFlagsAndAttachedValues) {
    options_run run = read_with({"-yz", "-b512", "-w010", "/dev/x"});
    ASSERT_EQ(run.outcome, options_ok);
    EXPECT_TRUE(run.settings.skip_confirmation);
    EXPECT_TRUE(run.settings.zero_fill);
    EXPECT_EQ(run.settings.block_size, 512u);
    EXPECT_EQ(run.settings.workers, 10u);
    EXPECT_EQ(run.next_argument, 4);
}

TEST(ReadOptions, LastOfARepeatedOptionWins) {
    options_run run = read_with({"-w", "8", "-w", "2", "-b", "1M", "-b", "512", "/dev/x"});
    ASSERT_EQ(run.outcome, options_ok);
    EXPECT_EQ(run.settings.workers, 2u);
    EXPECT_EQ(run.settings.block_size, 512u);
}

TEST(ReadOptions, OptionAfterTheDeviceIsNotRead) {
    options_run run = read_with({"-b", "512", "/dev/x", "-y"});
    ASSERT_EQ(run.outcome, options_ok);
    EXPECT_FALSE(run.settings.skip_confirmation);
    EXPECT_EQ(run.settings.block_size, 512u);
    EXPECT_EQ(run.next_argument, 3);
}

TEST(ReadOptions, DeviceFirstStopsAtOnce) {
    options_run run = read_with({"/dev/x", "-z", "-w", "0"});
    ASSERT_EQ(run.outcome, options_ok);
    EXPECT_FALSE(run.settings.zero_fill);
    EXPECT_EQ(run.settings.workers, 4u);
    EXPECT_EQ(run.next_argument, 1);
}

TEST(ReadOptions, SecondOperandIsLeftAlone) {
    options_run run = read_with({"-n", "2", "/dev/x", "/dev/y"});
    ASSERT_EQ(run.outcome, options_ok);
    EXPECT_EQ(run.settings.passes, 2u);
    EXPECT_EQ(run.next_argument, 3);
}

TEST(ReadOptions, OptionsAfterABadValueAreNotRead) {
    options_run run = read_with({"-w", "0", "-y", "/dev/x"});
    EXPECT_EQ(run.outcome, options_bad_workers);
    EXPECT_FALSE(run.settings.skip_confirmation);
}

TEST(ReadOptions, LargestBlockSizeThatIsAMultipleOf512) {
    options_run run = read_with({"-b", "2147479552", "/dev/x"});
    ASSERT_EQ(run.outcome, options_ok);
    EXPECT_EQ(run.settings.block_size, 2147479552u);
}

TEST(ReadOptions, LargestCountsAreAccepted) {
    options_run run = read_with({"-w", "2147483647", "-n", "2147483647", "/dev/x"});
    ASSERT_EQ(run.outcome, options_ok);
    EXPECT_EQ(run.settings.workers, 2147483647u);
    EXPECT_EQ(run.settings.passes, 2147483647u);
}

struct outcome_case {
    std::vector<std::string> args;
    int outcome;
};

void PrintTo(const outcome_case& c, std::ostream* out) {
    for (size_t i = 0; i < c.args.size(); ++i)
        *out << (i == 0 ? "" : " ") << shown(c.args[i]);
}

class ReadOptionsOutcome : public testing::TestWithParam<outcome_case> {};

TEST_P(ReadOptionsOutcome, EndsWithTheOutcome) {
    const outcome_case& c = GetParam();
    EXPECT_EQ(read_with(c.args).outcome, c.outcome) << "arguments: " << testing::PrintToString(c);
}

INSTANTIATE_TEST_SUITE_P(Usage, ReadOptionsOutcome,
                         testing::Values(outcome_case{{"-h"}, options_help},
                                         outcome_case{{"-h", "/dev/x"}, options_help},
                                         outcome_case{{"-x", "/dev/x"}, options_usage},
                                         outcome_case{{"-b"}, options_usage},
                                         outcome_case{{"-w"}, options_usage},
                                         outcome_case{{"-n"}, options_usage},
                                         outcome_case{{"-y", "-b"}, options_usage},
                                         outcome_case{{"-h", "-b", "1000"}, options_help},
                                         outcome_case{{"-h", "-w", "0"}, options_help}));

INSTANTIATE_TEST_SUITE_P(
    BlockSize, ReadOptionsOutcome,
    testing::Values(outcome_case{{"-b", "1000", "/dev/x"}, options_block_not_multiple_of_512},
                    outcome_case{{"-b", "256", "/dev/x"}, options_block_not_multiple_of_512},
                    outcome_case{{"-b", "2147483647", "/dev/x"}, options_bad_block_size},
                    outcome_case{{"-b", "2147480064", "/dev/x"}, options_bad_block_size},
                    outcome_case{{"-b", "1000", "-h"}, options_block_not_multiple_of_512},
                    outcome_case{{"-b", "4g", "/dev/x"}, options_unknown_suffix},
                    outcome_case{{"-b", "4 ", "/dev/x"}, options_unknown_suffix},
                    outcome_case{{"-b", "4kb", "/dev/x"}, options_bad_block_size},
                    outcome_case{{"-b", "0", "/dev/x"}, options_bad_block_size},
                    outcome_case{{"-b", "0k", "/dev/x"}, options_bad_block_size},
                    outcome_case{{"-b", "k", "/dev/x"}, options_bad_block_size},
                    outcome_case{{"-b", "1e3", "/dev/x"}, options_bad_block_size},
                    outcome_case{{"-b", "", "/dev/x"}, options_bad_block_size},
                    outcome_case{{"-b", "-512", "/dev/x"}, options_bad_block_size},
                    outcome_case{{"-b", "4096m", "/dev/x"}, options_bad_block_size},
                    outcome_case{{"-b", "4194304k", "/dev/x"}, options_bad_block_size},
                    outcome_case{{"-b", "2147483648", "/dev/x"}, options_bad_block_size},
                    outcome_case{{"-b", "4294967808", "/dev/x"}, options_bad_block_size}));

INSTANTIATE_TEST_SUITE_P(
    Counts, ReadOptionsOutcome,
    testing::Values(outcome_case{{"-w", "0", "/dev/x"}, options_bad_workers},
                    outcome_case{{"-w", "2x", "/dev/x"}, options_bad_workers},
                    outcome_case{{"-w", "", "/dev/x"}, options_bad_workers},
                    outcome_case{{"-w", "-1", "/dev/x"}, options_bad_workers},
                    outcome_case{{"-w", "4294967296", "/dev/x"}, options_bad_workers},
                    outcome_case{{"-w", "2147483648", "/dev/x"}, options_bad_workers},
                    outcome_case{{"-n", "0", "/dev/x"}, options_bad_passes},
                    outcome_case{{"-n", "2x", "/dev/x"}, options_bad_passes},
                    outcome_case{{"-n", "", "/dev/x"}, options_bad_passes},
                    outcome_case{{"-n", "-1", "/dev/x"}, options_bad_passes},
                    outcome_case{{"-n", "2147483648", "/dev/x"}, options_bad_passes}));

// The first bad value decides, whatever follows it.
INSTANTIATE_TEST_SUITE_P(
    Order, ReadOptionsOutcome,
    testing::Values(
        outcome_case{{"-w", "0", "-b", "4g", "/dev/x"}, options_bad_workers},
        outcome_case{{"-b", "4g", "-w", "0", "/dev/x"}, options_unknown_suffix},
        outcome_case{{"-n", "0", "-x", "/dev/x"}, options_bad_passes},
        outcome_case{{"-x", "-n", "0", "/dev/x"}, options_usage},
        outcome_case{{"-b", "1000", "-b", "512", "/dev/x"}, options_block_not_multiple_of_512},
        outcome_case{{"-b", "512", "-b", "1000", "/dev/x"}, options_block_not_multiple_of_512},
        outcome_case{{"-b", "512", "/dev/x", "-b", "1000"}, options_ok},
        outcome_case{{"/dev/x", "-h"}, options_ok}));

} // namespace
