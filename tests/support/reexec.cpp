// SPDX-License-Identifier: MIT
#include "support/reexec.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>

namespace {

// Set in the environment of the child: which body, and its argument.
constexpr char name_variable[] = "REEXEC_NAME";
constexpr char argument_variable[] = "REEXEC_ARGUMENT";
// Ends what GoogleTest printed on stdout before the body ran.
constexpr char body_starts[] = "\n-- reexec body --\n";

std::map<std::string, reexec_body>& bodies() {
    static std::map<std::string, reexec_body> registered;
    return registered;
}

// Global environments are set up after every static constructor has run.
class reexec_environment : public ::testing::Environment {
  public:
    void SetUp() override {
        const char* name = std::getenv(name_variable);
        if (name == nullptr)
            return;
        const char* argument = std::getenv(argument_variable);
        const auto found = bodies().find(name);
        if (found == bodies().end())
            _exit(125);
        std::fflush(stdout);
        if (write(STDOUT_FILENO, body_starts, sizeof body_starts - 1) < 0)
            _exit(126);
        const int status = found->second(argument != nullptr ? argument : "");
        std::fflush(nullptr);
        _exit(status); // nothing else of this binary runs
    }
};

} // namespace

bool reexec_register(const char* name, reexec_body body) {
    static ::testing::Environment* const environment =
        ::testing::AddGlobalTestEnvironment(new reexec_environment);
    (void)environment;
    bodies()[name] = body;
    return true;
}

child_result reexec_run(const char* name, const std::string& argument,
                        const child_options& options) {
    // The child runs the current test alone, so that it has one test to run
    // and sets up the environment.
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    if (test == nullptr)
        throw std::runtime_error("reexec_run called outside a test");
    const std::string filter =
        std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    child_options mine = options;
    mine.env.push_back(std::string(name_variable) + "=" + name);
    mine.env.push_back(std::string(argument_variable) + "=" + argument);
    child_result run = run_child({"/proc/self/exe", filter}, mine);
    const std::size_t at = run.out.find(body_starts);
    if (at != std::string::npos)
        run.out.erase(0, at + sizeof body_starts - 1);
    return run;
}
