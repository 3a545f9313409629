// SPDX-License-Identifier: MIT
// Checks the call-failing preload library by running this very test binary
// again with it preloaded: when FAIL_CALLS_PROBE names a function, the probe
// below calls it three times before main, prints the three results and exits.
#include "support/child.h"
#include "support/io_util.h"
#include "support/scratch_device.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void* idle(void*) {
    return nullptr;
}

// One call of NAME: 0 on success, else the error number.
int probe_call(const std::string& name, int round) {
    if (name == "pthread_create") {
        pthread_t thread;
        const int error = pthread_create(&thread, nullptr, idle, nullptr);
        if (error == 0)
            pthread_join(thread, nullptr);
        return error;
    }
    if (name == "posix_memalign") {
        void* memory = nullptr;
        const int error = posix_memalign(&memory, 4096, 8192);
        std::free(memory);
        return error;
    }
    if (name == "pthread_attr_init" || name == "pthread_attr_setdetachstate") {
        pthread_attr_t attributes;
        int error = pthread_attr_init(&attributes);
        if (error == 0 && name == "pthread_attr_setdetachstate")
            error = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        return error;
    }
    if (name == "open") {
        // Alternates paths so FAIL_MATCH can pick one.
        const int fd = open(round == 1 ? "/dev/zero" : "/dev/null", O_RDONLY);
        if (fd < 0)
            return errno;
        close(fd);
        return 0;
    }
    if (name == "lseek") {
        const int fd = open("/dev/null", O_RDONLY);
        const int error = lseek(fd, 0, SEEK_SET) < 0 ? errno : 0;
        close(fd);
        return error;
    }
    if (name == "ioctl") {
        int ends[2];
        if (pipe(ends) != 0)
            return errno;
        int waiting = 0;
        const int error = ioctl(ends[0], FIONREAD, &waiting) != 0 ? errno : 0;
        close(ends[0]);
        close(ends[1]);
        return error;
    }
    if (name == "pwrite") {
        char path[] = "/tmp/fail-calls-probe-XXXXXX";
        const int fd = mkstemp(path);
        unlink(path);
        const ssize_t put = pwrite(fd, "0123456789", 10, 0);
        const int error = put < 0 ? errno : 0;
        close(fd);
        return put >= 0 && put != 10 ? static_cast<int>(1000 + put) : error;
    }
    return -1;
}

const int probe_done = [] {
    const char* name = std::getenv("FAIL_CALLS_PROBE");
    if (name == nullptr)
        return 0;
    std::string line;
    for (int round = 0; round < 3; ++round)
        line += (round > 0 ? " " : "") + std::to_string(probe_call(name, round));
    line += "\n";
    if (write(1, line.data(), line.size()) < 0)
        _exit(1);
    _exit(0);
}();

// Runs the probe for NAME with the library preloaded and SETTINGS.
std::string run_probe(const std::string& name, const std::vector<std::string>& settings) {
    child_options options;
    options.env = settings;
    options.env.push_back(std::string("LD_PRELOAD=") + preload_library());
    options.env.push_back("FAIL_CALLS_PROBE=" + name);
    options.timeout_seconds = 30;
    const child_result result = run_child({"/proc/self/exe"}, options);
    EXPECT_EQ(result.exit_code, 0) << describe_exit(result);
    return result.out;
}

class FailCalls : public ::testing::Test {
  protected:
    void SetUp() override {
        (void)probe_done;
        if (access(preload_library(), R_OK) != 0)
            GTEST_FAIL() << "preload library missing: " << preload_library();
    }
};

TEST_F(FailCalls, NothingFailsWithoutAChosenCall) {
    EXPECT_EQ(run_probe("pthread_create", {}), "0 0 0\n");
    EXPECT_EQ(run_probe("open", {"FAIL_CALL=lseek"}), "0 0 0\n");
}

TEST_F(FailCalls, FailsTheChosenPthreadCreateOnly) {
    EXPECT_EQ(
        run_probe("pthread_create", {"FAIL_CALL=pthread_create", "FAIL_AT=2", "FAIL_ERRNO=11"}),
        "0 11 0\n");
}

TEST_F(FailCalls, PosixMemalignGivesEnomemByDefault) {
    EXPECT_EQ(run_probe("posix_memalign", {"FAIL_CALL=posix_memalign"}), "12 0 0\n");
}

TEST_F(FailCalls, FailsPthreadAttributeCalls) {
    EXPECT_EQ(run_probe("pthread_attr_init", {"FAIL_CALL=pthread_attr_init", "FAIL_AT=3"}),
              "0 0 12\n");
    EXPECT_EQ(run_probe("pthread_attr_setdetachstate",
                        {"FAIL_CALL=pthread_attr_setdetachstate", "FAIL_ERRNO=22"}),
              "22 0 0\n");
}

TEST_F(FailCalls, FailsSeveralCallsInARow) {
    EXPECT_EQ(run_probe("lseek", {"FAIL_CALL=lseek", "FAIL_AT=2", "FAIL_COUNT=2", "FAIL_ERRNO=29"}),
              "0 29 29\n");
}

TEST_F(FailCalls, MatchPicksTheOpenOfOnePath) {
    EXPECT_EQ(run_probe("open", {"FAIL_CALL=open", "FAIL_MATCH=/dev/zero", "FAIL_ERRNO=13"}),
              "0 13 0\n");
}

TEST_F(FailCalls, MatchPicksTheIoctlRequest) {
    const std::string request = std::to_string(FIONREAD);
    EXPECT_EQ(run_probe("ioctl", {"FAIL_CALL=ioctl", "FAIL_MATCH=" + request, "FAIL_ERRNO=25"}),
              "25 0 0\n");
    EXPECT_EQ(run_probe("ioctl", {"FAIL_CALL=ioctl", "FAIL_MATCH=0x1234"}), "0 0 0\n");
}

TEST_F(FailCalls, ShortWriteInsteadOfAnError) {
    EXPECT_EQ(run_probe("pwrite", {"FAIL_CALL=pwrite", "FAIL_AT=3", "FAIL_SHORT=4"}), "0 0 1004\n");
}

TEST_F(FailCalls, ReportsEachFailedCall) {
    const std::string report = scratch_name("fail-report", ".txt");
    EXPECT_EQ(run_probe("posix_memalign",
                        {"FAIL_CALL=posix_memalign", "FAIL_AT=2", "FAIL_REPORT=" + report}),
              "0 12 0\n");
    EXPECT_EQ(io_read_text_or_empty(report), "posix_memalign 2\n");
    unlink(report.c_str());
}

} // namespace
