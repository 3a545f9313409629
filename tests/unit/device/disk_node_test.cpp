// SPDX-License-Identifier: MIT
// What makes a special file a disk, on a system whose disks are block special
// files (Linux) and on one whose disks are character special files (the BSDs).
#include "device/probes.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <ostream>

namespace {

struct node_case {
    const char* name;
    uint32_t type;
    bool answers; // the sector-size request succeeded on it
    bool disk_on_linux;
    bool disk_on_bsd;
};

void PrintTo(const node_case& c, std::ostream* out) {
    *out << c.name;
}

class DiskNode : public testing::TestWithParam<node_case> {};

TEST_P(DiskNode, IsADiskWhereThatSystemSaysSo) {
    const node_case& c = GetParam();
    EXPECT_EQ(is_disk_node(c.type, c.answers, false), c.disk_on_linux);
    EXPECT_EQ(is_disk_node(c.type, c.answers, true), c.disk_on_bsd);
}

INSTANTIATE_TEST_SUITE_P(
    Types, DiskNode,
    testing::Values(node_case{"BlockDevice", S_IFBLK, true, true, true},
                    node_case{"BlockDeviceWithoutAnAnswer", S_IFBLK, false, true, true},
                    node_case{"CharacterDisk", S_IFCHR, true, false, true},
                    node_case{"CharacterDeviceWithoutAnAnswer", S_IFCHR, false, false, false},
                    node_case{"RegularFile", S_IFREG, true, false, false},
                    node_case{"Directory", S_IFDIR, true, false, false},
                    node_case{"Fifo", S_IFIFO, true, false, false}),
    [](const testing::TestParamInfo<node_case>& info) { return std::string(info.param.name); });

} // namespace
