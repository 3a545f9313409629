// SPDX-License-Identifier: MIT
#include "progress/eta.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace {

// The caller's 9-byte text field, followed by guard bytes that must stay untouched.
struct eta_field {
    char bytes[32];

    eta_field() { memset(bytes, '#', sizeof bytes); }

    // Calls format_eta, checks its result and the field's bounds, and gives the text.
    std::string call(int64_t verified, int64_t total) {
        int length = format_eta(bytes, verified, total);
        EXPECT_NE(memchr(bytes, '\0', 9), nullptr) << "no NUL within 9 bytes";
        for (size_t i = 9; i < sizeof bytes; ++i)
            EXPECT_EQ(bytes[i], '#') << "byte " << i << " written past the field";
        std::string text(bytes, strnlen(bytes, 9));
        EXPECT_LE(text.size(), 8u);
        EXPECT_EQ(length, static_cast<int>(text.size()));
        return text;
    }
};

class FormatEta : public testing::Test {
  protected:
    void SetUp() override { eta_reset(); }
    eta_field field;
};

struct eta_call {
    int64_t verified;
    const char* text;
};

void expect_calls(eta_field& field, int64_t total, const std::vector<eta_call>& calls) {
    for (size_t i = 0; i < calls.size(); ++i)
        EXPECT_EQ(field.call(calls[i].verified, total), calls[i].text)
            << "call " << i + 1 << ", verified " << calls[i].verified;
}

TEST_F(FormatEta, SmoothsTheRateCallByCall) {
    expect_calls(field, 1000000000000,
                 {{0, "0m 0s"},
                  {150000000, "0m 0s"},
                  {300000000, "1h 51m"},
                  {420000000, "1h 58m"},
                  {420000000, "1h 58m"},
                  {600000000, "1h 49m"}});
}

TEST_F(FormatEta, RateCarriesOverIntoTheNextPass) {
    // A steady 150,000,000 bytes per call over 3,000,000,000 bytes.
    expect_calls(field, 3000000000,
                 {{0, "0m 0s"},           {150000000, "0m 0s"},   {300000000, "0m 18s"},
                  {450000000, "0m 17s"},  {600000000, "0m 16s"},  {750000000, "0m 15s"},
                  {900000000, "0m 14s"},  {1050000000, "0m 13s"}, {1200000000, "0m 12s"},
                  {1350000000, "0m 11s"}, {1500000000, "0m 10s"}, {1650000000, "0m 9s"},
                  {1800000000, "0m 8s"},  {1950000000, "0m 7s"},  {2100000000, "0m 6s"},
                  {2250000000, "0m 5s"},  {2400000000, "0m 4s"},  {2550000000, "0m 3s"},
                  {2700000000, "0m 2s"},  {2850000000, "0m 1s"},  {3000000000, "0m 0s"}});
    // The second pass counts again from 0 and shows an estimate from its first
    // nonzero count on, with the rate of the first pass.
    expect_calls(field, 3000000000, {{0, "0m 0s"}, {150000000, "0m 19s"}, {300000000, "0m 18s"}});
}

TEST_F(FormatEta, NoEstimateUntilTheCountGrows) {
    expect_calls(field, 10400, {{500, "0m 0s"}, {500, "0m 0s"}, {300, "0m 0s"}, {400, "1m 40s"}});
}

TEST_F(FormatEta, ZeroCountLeavesTheStateAlone) {
    // Had the zero been kept as the previous sample, 200 would count as a first sample.
    expect_calls(field, 10200, {{100, "0m 0s"}, {0, "0m 0s"}, {200, "1m 40s"}});
}

TEST_F(FormatEta, ZeroCountWithARateKnownChangesNothing) {
    expect_calls(field, 1000001,
                 {{1, "0m 0s"}, {1001, "16m 39s"}, {0, "0m 0s"}, {1001, "16m 39s"}});
}

TEST_F(FormatEta, StallKeepsTheEstimate) {
    // 998,999 bytes left at 1000 per call; a stall averaged in as zero would give 23m 47s.
    expect_calls(field, 1000000,
                 {{1, "0m 0s"}, {1001, "16m 38s"}, {1001, "16m 38s"}, {2001, "16m 37s"}});
}

TEST_F(FormatEta, CountEqualToTotalShowsNothingLeft) {
    expect_calls(field, 5000, {{1000, "0m 0s"}, {2000, "0m 3s"}, {5000, "0m 0s"}});
}

TEST_F(FormatEta, TruncatesTowardZero) {
    // 299 bytes left at a rate of 100 per call: 2.99 seconds.
    expect_calls(field, 500, {{101, "0m 0s"}, {201, "0m 2s"}});
}

// A count above the total leaves a negative remaining time: nothing is left.
TEST_F(FormatEta, CountAboveTotalShowsNothingLeft) {
    // 65 seconds over at 100 per call.
    expect_calls(field, 1000, {{7400, "0m 0s"}, {7500, "0m 0s"}});
}

TEST_F(FormatEta, FarAboveTotalStillFitsTheField) {
    // 990 seconds over: as minutes and seconds that would take 9 characters.
    expect_calls(field, 1000, {{99901, "0m 0s"}, {100001, "0m 0s"}});
}

TEST_F(FormatEta, JustAboveTotalShowsNothingLeft) {
    expect_calls(field, 150, {{100, "0m 0s"}, {200, "0m 0s"}});
}

// Remaining times set up exactly: a first sample of 1, then a second sample
// whose increase becomes the rate, with a chosen number of bytes left.
struct split_case {
    int64_t rate;
    int64_t remaining;
    const char* text;
};

void PrintTo(const split_case& c, std::ostream* out) {
    *out << c.remaining << " bytes left at " << c.rate << " per call";
}

class FormatEtaSplit : public testing::TestWithParam<split_case> {
  protected:
    void SetUp() override { eta_reset(); }
};

TEST_P(FormatEtaSplit, ShowsTheRemainingTime) {
    const split_case& c = GetParam();
    eta_field field;
    int64_t second = 1 + c.rate;
    int64_t total = second + c.remaining;
    EXPECT_EQ(field.call(1, total), "0m 0s");
    EXPECT_EQ(field.call(second, total), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    MinutesAndSeconds, FormatEtaSplit,
    testing::Values(split_case{1000, 0, "0m 0s"}, split_case{1000, 999, "0m 0s"},
                    split_case{1000, 1000, "0m 1s"}, split_case{1000, 59000, "0m 59s"},
                    split_case{1000, 59999, "0m 59s"}, split_case{1000, 60000, "1m 0s"},
                    split_case{1000, 61000, "1m 1s"}, split_case{1000, 3599000, "59m 59s"},
                    split_case{1000, 3599999, "59m 59s"}, split_case{100, 299, "0m 2s"}));

INSTANTIATE_TEST_SUITE_P(
    HoursAndMinutes, FormatEtaSplit,
    testing::Values(split_case{1000, 3600000, "1h 0m"}, split_case{1000, 3659000, "1h 0m"},
                    split_case{1000, 7089000, "1h 58m"}, split_case{1000, 35999000, "9h 59m"},
                    split_case{1000, 36000000, "10h 0m"}, split_case{1000, 3599999000, "999h 59m"},
                    split_case{1000, 3599999999, "999h 59m"}));

// From 1000 hours on the estimate would not fit the field.
INSTANTIATE_TEST_SUITE_P(ThousandHoursAndMore, FormatEtaSplit,
                         testing::Values(split_case{1000, 3600000000, ">999h"},
                                         split_case{1000, 3600600000, ">999h"},
                                         split_case{1000, 36000000000000, ">999h"},
                                         // 2^31 hours and more no longer fit a 32-bit hour count.
                                         split_case{1000, 7730941132800000, ">999h"},
                                         split_case{1, 9000000000000000000, ">999h"}));

} // namespace
