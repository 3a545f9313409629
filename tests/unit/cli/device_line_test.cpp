// SPDX-License-Identifier: MIT
#include "cli/device_line.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

namespace {

struct line_case {
    const char* path;
    int64_t disk_size;
    std::string identity;
    std::string line;
};

void PrintTo(const line_case& c, std::ostream* out) {
    *out << c.path << ", " << c.disk_size << " bytes";
}

class DeviceLine : public testing::TestWithParam<line_case> {};

TEST_P(DeviceLine, IsWrittenByteForByte) {
    const line_case& c = GetParam();
    EXPECT_EQ(format_device_line(c.path, c.disk_size, c.identity), c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Samples, DeviceLine,
    testing::Values(
        line_case{"/dev/sdb", 1000204886016, "ata-WDC_WD10EZEX-08WN4A0_WD-WCC6Y0LKR1ZZ",
                  "/dev/sdb: 1000204886016 bytes (1000.2 GB), "
                  "ata-WDC_WD10EZEX-08WN4A0_WD-WCC6Y0LKR1ZZ\n"},
        // Nothing known: the line ends after the size.
        line_case{"/dev/loop2", 268435456, "", "/dev/loop2: 268435456 bytes (0.3 GB)\n"},
        line_case{"/dev/sdc", 1, "", "/dev/sdc: 1 bytes (0.0 GB)\n"},
        // Rounded to the nearest tenth, not cut.
        line_case{"/dev/sdd", 15999999999, "", "/dev/sdd: 15999999999 bytes (16.0 GB)\n"},
        line_case{"/dev/sde", 18000207937536, "model ST18000NM000J, serial ZR5",
                  "/dev/sde: 18000207937536 bytes (18000.2 GB), model ST18000NM000J, serial ZR5\n"},
        // Control characters from a file name or a device cannot break the line.
        line_case{"/dev/loop0", 512, "backing file /tmp/a\nb\x1b[2J",
                  "/dev/loop0: 512 bytes (0.0 GB), backing file /tmp/a?b?[2J\n"}));

} // namespace
