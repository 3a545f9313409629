// SPDX-License-Identifier: MIT
#include "run/progress_line.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>

namespace {

struct line_case {
    uint32_t pass;
    uint32_t passes;
    int64_t verified;
    int64_t disk_size;
    const char* eta_text;
    const char* line;
};

void PrintTo(const line_case& c, std::ostream* out) {
    *out << "pass " << c.pass << "/" << c.passes << ", " << c.verified << " of " << c.disk_size
         << " bytes";
}

class ProgressLine : public testing::TestWithParam<line_case> {};

TEST_P(ProgressLine, IsWrittenByteForByte) {
    const line_case& c = GetParam();
    char line[progress_line_size];
    memset(line, '#', sizeof line);
    int length = c.pass == 0 ? format_read_back_line(line, c.verified, c.disk_size, c.eta_text)
                             : format_progress_line(line, c.pass, c.passes, c.verified, c.disk_size,
                                                    c.eta_text);
    ASSERT_NE(memchr(line, '\0', sizeof line), nullptr);
    EXPECT_EQ(std::string(line), c.line);
    EXPECT_EQ(length, static_cast<int>(strlen(c.line)));
}

INSTANTIATE_TEST_SUITE_P(
    Samples, ProgressLine,
    testing::Values(line_case{1, 3, 0, 10485760, "0m 0s",
                              "\x1b[2K\rpass: 1/3, verified: 0 MB, completed: 0%, ETA: 0m 0s\r"},
                    // Megabytes and percent are truncated.
                    line_case{1, 1, 1048575, 10485760, "0m 9s",
                              "\x1b[2K\rpass: 1/1, verified: 0 MB, completed: 9%, ETA: 0m 9s\r"},
                    line_case{1, 1, 1048576, 10485760, "0m 9s",
                              "\x1b[2K\rpass: 1/1, verified: 1 MB, completed: 10%, ETA: 0m 9s\r"},
                    line_case{2, 3, 1572864, 10485760, "1m 5s",
                              "\x1b[2K\rpass: 2/3, verified: 1 MB, completed: 15%, ETA: 1m 5s\r"},
                    line_case{3, 3, 10485760, 10485760, "0m 0s",
                              "\x1b[2K\rpass: 3/3, verified: 10 MB, completed: 100%, ETA: 0m 0s\r"},
                    line_case{
                        1, 2, 1000000000000, 1000000000000, "0m 0s",
                        "\x1b[2K\rpass: 1/2, verified: 953674 MB, completed: 100%, ETA: 0m 0s\r"},
                    line_case{1, 1, 420000000, 1000000000000, "1h 58m",
                              "\x1b[2K\rpass: 1/1, verified: 400 MB, completed: 0%, ETA: 1h 58m\r"},
                    // Pass 0 here: the read-back after the last pass.
                    line_case{0, 2, 1572864, 10485760, "0m 3s",
                              "\x1b[2K\rread-back: verified: 1 MB, completed: 15%, ETA: 0m 3s\r"}));

// The share is printed as computed, also when it passes 100.
INSTANTIATE_TEST_SUITE_P(
    NotClamped, ProgressLine,
    testing::Values(line_case{1, 1, 10485761, 10485760, "0m 0s",
                              "\x1b[2K\rpass: 1/1, verified: 10 MB, completed: 100%, ETA: 0m 0s\r"},
                    line_case{1, 1, 11534336, 10485760, "0m 0s",
                              "\x1b[2K\rpass: 1/1, verified: 11 MB, completed: 110%, ETA: 0m 0s\r"},
                    line_case{1, 1, 20971520, 10485760, "0m 0s",
                              "\x1b[2K\rpass: 1/1, verified: 20 MB, completed: 200%, ETA: 0m 0s\r"},
                    line_case{
                        1, 1, 4096, 16, "0m 0s",
                        "\x1b[2K\rpass: 1/1, verified: 0 MB, completed: 25600%, ETA: 0m 0s\r"}));

// The widest fields the program can produce still fit the line buffer.
INSTANTIATE_TEST_SUITE_P(Widest, ProgressLine,
                         testing::Values(line_case{
                             2147483647, 2147483647, 92233720368547758, 92233720368547758,
                             "999h 59m",
                             "\x1b[2K\rpass: 2147483647/2147483647, verified: 87960930222 MB, "
                             "completed: 100%, ETA: 999h 59m\r"}));

} // namespace
