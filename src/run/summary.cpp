// SPDX-License-Identifier: MIT
#include "run/summary.h"

#include <cstdio>

int format_summary(char* line, const run_summary& summary) {
    const char* read_back = summary.read_back == read_back_done          ? ", read-back done"
                            : summary.read_back == read_back_interrupted ? ", read-back interrupted"
                                                                         : "";
    const long long megabytes = summary.verified_bytes / 1048576;
    const long long seconds = summary.seconds;
    const long long rate = seconds > 0 ? megabytes / seconds : 0;
    return snprintf(
        line, summary_size,
        "Summary: %u of %u passes%s, %lld MB verified in %dh %dm %ds, %lld MB/s; "
        "%lld %s did not match.\n",
        summary.passes_done, summary.passes, read_back, megabytes, static_cast<int>(seconds / 3600),
        static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60), rate,
        static_cast<long long>(summary.mismatched), summary.mismatched == 1 ? "block" : "blocks");
}
