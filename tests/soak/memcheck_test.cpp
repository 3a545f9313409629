// SPDX-License-Identifier: MIT
// valgrind memcheck over a whole two-pass run on a small loop device and over
// a declined prompt: no invalid access, nothing definitely lost, and the
// program's own output unchanged. (The start-up failures end before the
// pool and the test block exist; their messages are the program tests'.) Skipped in sanitizer
// builds (valgrind cannot run a sanitized program); without valgrind it
// skips, and fails under CI=true.
#include "soak/soak_helpers.h"

#include "support/process.h"
#include "support/devices.h"
#include "support/io_util.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

const std::string prompt =
    "WARNING: All data on the target disk will be destroyed!\nContinue? (y/n):";

std::string valgrind_path() {
    for (const char* candidate : {"/usr/bin/valgrind", "/usr/local/bin/valgrind"})
        if (access(candidate, X_OK) == 0)
            return candidate;
    return "";
}

std::string valgrind_missing() {
    return valgrind_path().empty() ? "valgrind is not installed (apt-get install valgrind)" : "";
}

struct memcheck_case {
    std::string name;
    std::vector<std::string> args; // "DEVICE" stands for the scratch device's path
    std::string answer;            // piped to stdin; empty: /dev/null
    int status;
    std::string stdout_text;
    std::string stderr_text; // with "DEVICE" for the path; progress lines left out
};

void PrintTo(const memcheck_case& c, std::ostream* out) {
    *out << c.name;
}

std::string with_device(std::string text, const std::string& path) {
    for (std::size_t at = text.find("DEVICE"); at != std::string::npos;
         at = text.find("DEVICE", at + path.size()))
        text.replace(at, 6, path);
    return text;
}

// The text between the first FROM in TEXT and the next TO after it, or "?".
std::string text_between(const std::string& text, const std::string& from, const std::string& to) {
    const std::size_t begin = text.find(from);
    if (begin == std::string::npos)
        return "?";
    const std::size_t end = text.find(to, begin + from.size());
    return end == std::string::npos ? "?"
                                    : text.substr(begin + from.size(), end - begin - from.size());
}

class Memcheck : public ::testing::TestWithParam<memcheck_case> {};

TEST_P(Memcheck, NoInvalidAccessNoDefiniteLeak) {
    if (!sanitizer_build().empty())
        GTEST_SKIP() << "this is a " << sanitizer_build()
                     << " build: valgrind cannot run a sanitized program; memcheck runs in the "
                        "plain build";
    REQUIRE_GATE(valgrind_missing());
    const memcheck_case& c = GetParam();
    REQUIRE_LOOP_DEVICES();
    scratch_device disk(1 << 20, 512);
    const std::string path = disk.path();
    const std::string log = scratch_name("memcheck", ".log");
    std::vector<std::string> argv = {valgrind_path(),     "--error-exitcode=99",
                                     "--leak-check=full", "--errors-for-leak-kinds=definite",
                                     "--log-file=" + log, platterfell_binary()};
    for (const std::string& arg : c.args)
        argv.push_back(with_device(arg, path));
    child_options options;
    options.timeout_seconds = 120;
    if (!c.answer.empty()) {
        options.input = child_stdin::text;
        options.stdin_text = c.answer;
    }
    const child_result result = run_child(argv, options);
    const std::string report = io_read_text_or_empty(log);
    unlink(log.c_str());

    EXPECT_TRUE(result.exited && result.exit_code == c.status)
        << describe_exit(result) << "\nvalgrind: " << report;
    EXPECT_EQ(result.out, c.stdout_text);
    const run_stderr err = parse_run_stderr(result.err);
    EXPECT_TRUE(err.malformed.empty());
    EXPECT_EQ(err.other_joined(), with_device(c.stderr_text, path));
    EXPECT_NE(report.find("ERROR SUMMARY: 0 errors from 0 contexts"), std::string::npos) << report;
    const bool nothing_lost =
        report.find("All heap blocks were freed -- no leaks are possible") != std::string::npos ||
        report.find("definitely lost: 0 bytes in 0 blocks") != std::string::npos;
    EXPECT_TRUE(nothing_lost) << report;

    const std::string at_exit = text_between(report, "in use at exit: ", " in ");
    const std::string error_count = text_between(report, "ERROR SUMMARY: ", " errors");
    record_result("memcheck.txt", "memcheck " + c.name + ": status " +
                                      std::to_string(result.exit_code) + ", " + error_count +
                                      " errors, " + at_exit + " in use at exit" +
                                      (nothing_lost ? ", nothing definitely lost" : ", LEAKS"));
}

INSTANTIATE_TEST_SUITE_P(
    Runs, Memcheck,
    ::testing::Values(
        memcheck_case{"FullRun", {"-y", "-w", "4", "-n", "2", "DEVICE"}, "", 0, "\n", ""},
        memcheck_case{"DeclinedPrompt", {"DEVICE"}, "n", 0, "", prompt + "n\n"}),
    [](const ::testing::TestParamInfo<memcheck_case>& info) { return info.param.name; });

} // namespace
