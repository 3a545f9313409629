// SPDX-License-Identifier: MIT
#include "run/summary.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

namespace {

struct summary_case {
    run_summary summary;
    const char* line;
};

void PrintTo(const summary_case& c, std::ostream* out) {
    *out << c.line;
}

class Summary : public testing::TestWithParam<summary_case> {};

TEST_P(Summary, IsWrittenByteForByte) {
    char line[summary_size];
    const int length = format_summary(line, GetParam().summary);
    EXPECT_EQ(std::string(line), GetParam().line);
    EXPECT_EQ(length, static_cast<int>(strlen(GetParam().line)));
}

INSTANTIATE_TEST_SUITE_P(
    Runs, Summary,
    testing::Values(
        summary_case{{2, 2, read_back_none, 536870912, 9, 0},
                     "Summary: 2 of 2 passes, 512 MB verified in 0h 0m 9s, 56 MB/s; 0 blocks did "
                     "not match.\n"},
        // One block; under one second the speed is 0; megabytes are rounded down.
        summary_case{{1, 1, read_back_done, 2097151, 0, 1},
                     "Summary: 1 of 1 passes, read-back done, 1 MB verified in 0h 0m 0s, 0 MB/s; "
                     "1 block did not match.\n"},
        summary_case{{0, 3, read_back_interrupted, 1048576LL * 7000, 3725, 1024},
                     "Summary: 0 of 3 passes, read-back interrupted, 7000 MB verified in 1h 2m "
                     "5s, 1 MB/s; 1024 blocks did not match.\n"},
        // The widest counts still fit.
        summary_case{{4294967295u, 4294967295u, read_back_interrupted, 9223372036854775807,
                      2147483647LL * 3600, 9223372036854775807},
                     "Summary: 4294967295 of 4294967295 passes, read-back interrupted, "
                     "8796093022207 MB verified in 2147483647h 0m 0s, 1 MB/s; "
                     "9223372036854775807 blocks did not match.\n"}));

} // namespace
