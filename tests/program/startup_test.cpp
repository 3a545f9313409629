// SPDX-License-Identifier: MIT
// The start-up of the built program as its users meet it: the usage text, the
// option values, and the checks of what the device path names, each with its
// exact message on standard error, nothing on standard output, and its exit
// status. The checks on real loop devices are in device_checks_test.cpp.
#include "program/program_helpers.h"

#include "support/process.h"
#include "support/devices.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

// A path that exists nowhere: a start-up that gets past every option check
// stops at the first device check with this message.
const std::string missing_path = "/nonexistent-platterfell-dir/disk";
const std::string missing_message =
    "Can't access device: /nonexistent-platterfell-dir/disk: No such file or directory\n";

std::string joined(const std::vector<std::string>& args) {
    std::string text;
    for (const std::string& arg : args)
        text += (text.empty() ? "'" : " '") + arg + "'";
    return text.empty() ? "(no arguments)" : text;
}

// ---- usage -----------------------------------------------------------------

struct usage_case {
    std::vector<std::string> args;
    std::string getopt_complaint; // glibc's diagnostic after "PROGRAM: ", or empty
    int status;                   // 0 when -h asked for it, 1 for a command line to mend
};

void PrintTo(const usage_case& c, std::ostream* out) {
    *out << joined(c.args);
}

class Usage : public testing::TestWithParam<usage_case> {};

TEST_P(Usage, PrintsTheUsageText) {
    const usage_case& c = GetParam();
    const child_result run = run_platterfell(c.args);
    std::string expected = expected_usage;
    if (!c.getopt_complaint.empty())
        expected = std::string(platterfell_binary()) + ": " + c.getopt_complaint + "\n" + expected;
    EXPECT_EQ(run.err, expected);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(run.exited) << describe_exit(run);
    EXPECT_EQ(run.exit_code, c.status) << describe_exit(run);
}

INSTANTIATE_TEST_SUITE_P(Asked, Usage,
                         testing::Values(usage_case{{"-h"}, "", 0},
                                         usage_case{{"-h", "-b", "1000"}, "", 0},
                                         usage_case{{"-h", missing_path}, "", 0},
                                         usage_case{{"-y", "-h", "-w", "0"}, "", 0}));

// A command line that names no device tests nothing: a script must not read success.
INSTANTIATE_TEST_SUITE_P(NoDevice, Usage,
                         testing::Values(usage_case{{}, "", 1}, usage_case{{"-y"}, "", 1},
                                         usage_case{
                                             {"-z", "-w", "3", "-n", "2", "-b", "64k"}, "", 1}));

INSTANTIATE_TEST_SUITE_P(
    AfterTheGetoptDiagnostic, Usage,
    testing::Values(usage_case{{"-x"}, "invalid option -- 'x'", 1},
                    usage_case{{"-y", "-q", missing_path}, "invalid option -- 'q'", 1},
                    usage_case{{"-x", "-b", "1000"}, "invalid option -- 'x'", 1},
                    usage_case{{"-b"}, "option requires an argument -- 'b'", 1},
                    usage_case{{"-w"}, "option requires an argument -- 'w'", 1},
                    usage_case{{"-y", "-n"}, "option requires an argument -- 'n'", 1}));

// ---- option values -----------------------------------------------------------

struct value_case {
    std::vector<std::string> args;
    std::string message;
};

void PrintTo(const value_case& c, std::ostream* out) {
    *out << joined(c.args);
}

class OptionValue : public testing::TestWithParam<value_case> {};

// The device path comes last, so a value that passes reaches the device
// checks and ends there with the missing path's message.
TEST_P(OptionValue, GivesItsMessageWithStatusOne) {
    std::vector<std::string> args = GetParam().args;
    args.push_back(missing_path);
    const child_result run = run_platterfell(args);
    EXPECT_EQ(run.err, GetParam().message);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(run.exited) << describe_exit(run);
    EXPECT_EQ(run.exit_code, 1) << describe_exit(run);
}

const std::string bad_block = "Invalid block size value.\n";
const std::string bad_suffix = "Unknown unit suffix set in block size.\n";
const std::string not_multiple = "Block size is required to be a multiple of 512 bytes.\n";
const std::string bad_workers = "Invalid number of workers.\n";
const std::string bad_passes = "Invalid number of passes.\n";

// One value per message: which values give which outcome is the unit table
// ReadOptionsOutcome's; here each outcome's text, stream and status.
INSTANTIATE_TEST_SUITE_P(OnePerOutcome, OptionValue,
                         testing::Values(value_case{{"-b", "1000"}, not_multiple},
                                         value_case{{"-b", "2147483647"}, bad_block},
                                         value_case{{"-b", "4g"}, bad_suffix},
                                         value_case{{"-w", "0"}, bad_workers},
                                         value_case{{"-n", "0"}, bad_passes},
                                         value_case{{"-b", "64k"}, missing_message}));

// Each option is checked when it is read; the first bad one ends the start-up.
INSTANTIATE_TEST_SUITE_P(InTheOrderGiven, OptionValue,
                         testing::Values(value_case{{"-b", "1000", "-h"}, not_multiple},
                                         value_case{{"-w", "0", "-h"}, bad_workers},
                                         value_case{{"-b", "4g", "-x"}, bad_suffix},
                                         value_case{{"-n", "-1", "-b", "1000"}, bad_passes},
                                         value_case{{"-b", "1000", "-n", "-1"}, not_multiple},
                                         value_case{{"-w", "2", "-w", "0"}, bad_workers},
                                         value_case{{"-w", "0", "-w", "2"}, bad_workers},
                                         value_case{{"-b", "4096", "-b", "4095"}, not_multiple},
                                         value_case{{"-b", "1000", "-b", "4096"}, not_multiple},
                                         value_case{{"-w", "8", "-w", "2"}, missing_message}));

// ---- operands ------------------------------------------------------------------

struct operand_case {
    std::vector<std::string> args;
    std::string message;
};

void PrintTo(const operand_case& c, std::ostream* out) {
    *out << joined(c.args);
}

class Operands : public testing::TestWithParam<operand_case> {};

TEST_P(Operands, AfterTheDeviceAreRefused) {
    const child_result run = run_platterfell(GetParam().args);
    EXPECT_EQ(run.err, GetParam().message);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.exit_code, 1) << describe_exit(run);
}

// Option processing stops at the device; whatever follows it is refused, the
// first such argument named, before the device is looked at.
INSTANTIATE_TEST_SUITE_P(
    AfterTheDevice, Operands,
    testing::Values(
        operand_case{{missing_path, "-b", "1000"}, "Unexpected argument after DEVICE: -b\n"},
        operand_case{{missing_path, "-y"}, "Unexpected argument after DEVICE: -y\n"},
        operand_case{{"-y", missing_path, "-n", "2"}, "Unexpected argument after DEVICE: -n\n"},
        operand_case{{missing_path, ""}, "Unexpected argument after DEVICE: \n"},
        operand_case{{"/dev/null", missing_path},
                     "Unexpected argument after DEVICE: " + missing_path + "\n"}));

// ---- what the path names (no loop device needed) ----------------------------------

struct path_case {
    std::string path;
    std::string message;
};

void PrintTo(const path_case& c, std::ostream* out) {
    *out << "'" << c.path << "'";
}

class DevicePath : public testing::TestWithParam<path_case> {};

TEST_P(DevicePath, IsRefusedWithItsMessage) {
    const child_result run = run_platterfell({"-y", GetParam().path});
    EXPECT_EQ(run.err, GetParam().message);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(run.exited) << describe_exit(run);
    EXPECT_EQ(run.exit_code, 1) << describe_exit(run);
}

const std::string regular_file = platterfell_binary();

INSTANTIATE_TEST_SUITE_P(
    Things, DevicePath,
    testing::Values(path_case{missing_path, missing_message},
                    path_case{"", "Can't access device: : No such file or directory\n"},
                    path_case{regular_file + "/disk",
                              "Can't access device: " + regular_file + "/disk: Not a directory\n"},
                    path_case{regular_file, "Error: " + regular_file + " is not a disk device.\n"},
                    path_case{"/tmp", "Error: /tmp is not a disk device.\n"},
                    path_case{"/dev/null", "Error: /dev/null is not a disk device.\n"},
                    path_case{"/dev/zero", "Error: /dev/zero is not a disk device.\n"}));

TEST(DevicePathLink, IsReportedAsTyped) {
    const scratch_symlink to_null("/dev/null");
    const child_result run = run_platterfell({to_null.path()});
    EXPECT_EQ(run.err, "Error: " + to_null.path() + " is not a disk device.\n");
    EXPECT_EQ(run.exit_code, 1) << describe_exit(run);

    const scratch_symlink dangling(missing_path);
    const child_result dangled = run_platterfell({dangling.path()});
    EXPECT_EQ(dangled.err,
              "Can't access device: " + dangling.path() + ": No such file or directory\n");
    EXPECT_EQ(dangled.exit_code, 1) << describe_exit(dangled);
}

} // namespace
