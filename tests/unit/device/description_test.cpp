// SPDX-License-Identifier: MIT
// The decisions behind the text that names a disk, for every system.
#include "device/description.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

struct by_id_case {
    std::vector<std::string> names; // the links that lead to the disk
    std::string picked;
};

void PrintTo(const by_id_case& c, std::ostream* out) {
    *out << testing::PrintToString(c.names);
}

class ByIdName : public testing::TestWithParam<by_id_case> {};

TEST_P(ByIdName, IsTheOneThatCarriesModelAndSerial) {
    EXPECT_EQ(pick_by_id_name(GetParam().names), GetParam().picked);
}

INSTANTIATE_TEST_SUITE_P(
    Links, ByIdName,
    testing::Values(
        by_id_case{{"wwn-0x50014ee2b5c6fd2c", "ata-WDC_WD10EZEX-08WN4A0_WD-WCC6Y0LKR1ZZ"},
                   "ata-WDC_WD10EZEX-08WN4A0_WD-WCC6Y0LKR1ZZ"},
        by_id_case{{"nvme-eui.0025385b71b0b6d2", "nvme-Samsung_SSD_970_EVO_1TB_S467NX0M1_1",
                    "nvme-Samsung_SSD_970_EVO_1TB_S467NX0M1"},
                   "nvme-Samsung_SSD_970_EVO_1TB_S467NX0M1"},
        by_id_case{{"scsi-35000c500a1b2c3d4", "scsi-SSEAGATE_ST4000NM0023_Z1Z0ABCD"},
                   "scsi-SSEAGATE_ST4000NM0023_Z1Z0ABCD"},
        by_id_case{{"usb-Generic_Flash_Disk_8A2C5E1F-0:0", "ata-X_1"}, "ata-X_1"},
        by_id_case{{"dm-uuid-LVM-abc", "dm-name-vg-data"}, "dm-name-vg-data"},
        // A partition's link, or one that carries only a number, says nothing to check.
        by_id_case{{"ata-WDC_WD10EZEX_WD-1-part1", "wwn-0x50014ee2b5c6fd2c"}, ""},
        by_id_case{{"mmc-SD32G_0x1234abcd", "mmc-SD32G_0x1234abcc"}, "mmc-SD32G_0x1234abcc"},
        by_id_case{{}, ""}));

TEST(ModelAndSerial, TrimsBlanksAndLeavesOutWhatIsMissing) {
    EXPECT_EQ(model_and_serial("WDC WD10EZEX-08W  \n", " WD-WCC6\n"),
              "model WDC WD10EZEX-08W, serial WD-WCC6");
    EXPECT_EQ(model_and_serial("QEMU HARDDISK", ""), "model QEMU HARDDISK");
    EXPECT_EQ(model_and_serial("   ", "S467NX0M1"), "serial S467NX0M1");
    EXPECT_EQ(model_and_serial("", "\n"), "");
}

TEST(SernoText, ShowsOnlyTheCharactersOfAnAlias) {
    EXPECT_EQ(serno_text("WD-WCC6Y0LKR1ZZ"), "WD-WCC6Y0LKR1ZZ");
    EXPECT_EQ(serno_text("a+b@c.d"), "a+b@c.d");
    EXPECT_EQ(serno_text("S N/1\t\xc3\xa9"), "S_N_1___");
}

// Minor numbers as the bits lie: unit in bits 3-7 and 21-24, slice in 16-19
// and 29-31, partition in 0-2, 20 and 25-28.
TEST(DragonflyMinor, UnitAndWholeDisk) {
    const uint32_t whole_disk_partition = 0x7u | (1u << 20) | (0xfu << 25); // 255
    const uint32_t slice_one = 1u << 16;
    EXPECT_TRUE(dragonfly_whole_disk(slice_one | whole_disk_partition));
    EXPECT_EQ(dragonfly_unit(slice_one | whole_disk_partition), 0u);
    EXPECT_EQ(dragonfly_unit((3u << 3) | whole_disk_partition | slice_one), 3u);
    EXPECT_EQ(dragonfly_unit((0x1fu << 3) | (0x1u << 21)), 63u);
    EXPECT_FALSE(dragonfly_whole_disk((2u << 16) | whole_disk_partition)); // slice 2 (s1)
    EXPECT_FALSE(dragonfly_whole_disk(slice_one | 0x1u));                  // partition 1
    EXPECT_FALSE(dragonfly_whole_disk((1u << 29) | slice_one | whole_disk_partition)); // slice 17
}

} // namespace
