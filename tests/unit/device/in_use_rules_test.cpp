// SPDX-License-Identifier: MIT
// The in-use checks' decisions that need no system: byte ranges of loop
// devices and partitions (Linux), GEOM access modes (FreeBSD), DragonFly
// minor numbers and mount sources, and what a refused write open means.
#include "device/in_use_rules.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <ostream>

namespace {

constexpr uint64_t mib = 1 << 20;
constexpr uint64_t units_per_mib = mib / 512;

// A loop device over a disk against a partition of it (start and size in
// sysfs's 512-byte units): partition 2 of the tests' disk is 4-8 MiB.
struct range_case {
    const char* name;
    uint64_t offset;
    uint64_t size_limit;
    uint64_t start_units;
    uint64_t size_units;
    bool overlaps;
};

void PrintTo(const range_case& c, std::ostream* out) {
    *out << c.name;
}

class LoopRange : public testing::TestWithParam<range_case> {};

TEST_P(LoopRange, OverlapsThePartitionWhenTheyShareBytes) {
    const range_case& c = GetParam();
    EXPECT_EQ(spans_overlap(loop_span(c.offset, c.size_limit),
                            partition_span(c.start_units, c.size_units)),
              c.overlaps);
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, LoopRange,
    testing::Values(
        range_case{"WholeDisk", 0, 0, 4 * units_per_mib, 4 * units_per_mib, true},
        range_case{"FromThePartitionsOffset", 4 * mib, 0, 4 * units_per_mib, 4 * units_per_mib,
                   true},
        range_case{"EndsWhereItStarts", mib, 3 * mib, 4 * units_per_mib, 4 * units_per_mib, false},
        range_case{"OneByteIntoIt", mib, 3 * mib + 1, 4 * units_per_mib, 4 * units_per_mib, true},
        range_case{"StartsWhereItEnds", 8 * mib, 0, 4 * units_per_mib, 4 * units_per_mib, false},
        range_case{"InsideIt", 5 * mib, 512, 4 * units_per_mib, 4 * units_per_mib, true},
        range_case{"EmptyPartition", 0, 0, 4 * units_per_mib, 0, false},
        range_case{"NearTheTopWithoutWrapping", to_the_end - 100, 1000, 4 * units_per_mib,
                   4 * units_per_mib, false},
        range_case{"HugePartitionWithoutWrapping", to_the_end - 100, 0, 1, to_the_end, true}),
    [](const testing::TestParamInfo<range_case>& info) { return std::string(info.param.name); });

// A range of a loop device or partition, as bytes of the device under it.
TEST(SpanWithin, CountsFromTheOuterStartAndStopsAtItsEnd) {
    const byte_span partition = partition_span(2 * units_per_mib, 2 * units_per_mib); // 2-4 MiB
    const byte_span over_it = span_within(loop_span(mib, 0), partition);
    EXPECT_EQ(over_it.start, 3 * mib);
    EXPECT_EQ(over_it.end, 4 * mib) << "a loop device shows no more than its backing device";
    const byte_span cut = span_within(byte_span{0, 8 * mib}, loop_span(mib, 2 * mib));
    EXPECT_EQ(cut.start, mib);
    EXPECT_EQ(cut.end, 3 * mib);
    const byte_span past = span_within(byte_span{5 * mib, to_the_end}, partition);
    EXPECT_FALSE(spans_overlap(past, whole_device())) << "past the partition's end: empty";
}

struct mode_case {
    const char* mode;
    geom_access own;
    geom_holding expected;
};

void PrintTo(const mode_case& c, std::ostream* out) {
    *out << '"' << c.mode << "\" with own r" << c.own.reads << "w" << c.own.writes;
}

class GeomMode : public testing::TestWithParam<mode_case> {};

TEST_P(GeomMode, CountsOpensBeyondTheProgramsOwn) {
    EXPECT_EQ(judge_geom_mode(GetParam().mode, GetParam().own), GetParam().expected);
}

constexpr geom_access claimed{1, 1, 0};
constexpr geom_access none{0, 0, 0};

INSTANTIATE_TEST_SUITE_P(Modes, GeomMode,
                         testing::Values(mode_case{"r1w1e0", claimed, geom_holding::free},
                                         mode_case{"r2w1e0", claimed, geom_holding::reads_only},
                                         mode_case{"r2w2e0", claimed, geom_holding::held},
                                         mode_case{"r1w1e1", claimed, geom_holding::held},
                                         mode_case{"r12w1e0", claimed, geom_holding::reads_only},
                                         mode_case{"r0w0e0", none, geom_holding::free},
                                         mode_case{"r1w0e0", none, geom_holding::reads_only},
                                         mode_case{"r0w0e1", none, geom_holding::held},
                                         mode_case{"", claimed, geom_holding::held},
                                         mode_case{"r1w1", claimed, geom_holding::held},
                                         mode_case{"r1w1e0 ", claimed, geom_holding::held},
                                         mode_case{"r-1w1e0", claimed, geom_holding::held}));

// DragonFly minors typed from the bit layout: unit in bits 3-7 then 21-24,
// slice in 16-19 then 29-31, partition in 0-2, 20, then 25-28.
struct minor_case {
    const char* name;
    uint32_t minor;
    dragonfly_node node;
};

constexpr uint32_t da0 = 0x1e110007;         // unit 0, slice 1 (whole disk), partition 255
constexpr uint32_t da0s1 = 0x1e120007;       // slice 2, whole slice
constexpr uint32_t da0s1d = 0x00020003;      // slice 2, partition 3
constexpr uint32_t da0s2 = 0x1e130007;       // slice 3, whole slice
constexpr uint32_t da1 = 0x1e11000f;         // unit 1, whole disk
constexpr uint32_t da40 = 0x1e310047;        // unit 40: its high bits
constexpr uint32_t da0s19 = 0x3e140007;      // slice 20: its high bits
constexpr uint32_t da0_compatible = 0x00000; // slice 0, partition 0 ("da0a")

void PrintTo(const minor_case& c, std::ostream* out) {
    *out << c.name;
}

class DragonflyMinor : public testing::TestWithParam<minor_case> {};

TEST_P(DragonflyMinor, NamesUnitSliceAndPartition) {
    const dragonfly_node node = dragonfly_node_of(GetParam().minor);
    EXPECT_EQ(node.unit, GetParam().node.unit);
    EXPECT_EQ(node.slice, GetParam().node.slice);
    EXPECT_EQ(node.partition, GetParam().node.partition);
}

INSTANTIATE_TEST_SUITE_P(Nodes, DragonflyMinor,
                         testing::Values(minor_case{"WholeDisk", da0, {0, 1, 255}},
                                         minor_case{"Slice", da0s1, {0, 2, 255}},
                                         minor_case{"PartitionInIt", da0s1d, {0, 2, 3}},
                                         minor_case{"SiblingSlice", da0s2, {0, 3, 255}},
                                         minor_case{"AnotherUnit", da1, {1, 1, 255}},
                                         minor_case{"HighUnit", da40, {40, 1, 255}},
                                         minor_case{"HighSlice", da0s19, {0, 20, 255}}),
                         [](const testing::TestParamInfo<minor_case>& info) {
                             return std::string(info.param.name);
                         });

TEST(DragonflyNodes, OverlapOnOneDiskUnlessInSiblingSlices) {
    EXPECT_TRUE(dragonfly_nodes_overlap(da0s1d, da0s1d));
    EXPECT_TRUE(dragonfly_nodes_overlap(da0, da0s1d)) << "the whole disk";
    EXPECT_TRUE(dragonfly_nodes_overlap(da0s1d, da0)) << "the whole disk, either way";
    EXPECT_TRUE(dragonfly_nodes_overlap(da0s1, da0s1d)) << "the slice that holds it";
    EXPECT_TRUE(dragonfly_nodes_overlap(da0_compatible, da0s2)) << "the compatibility slice";
    EXPECT_FALSE(dragonfly_nodes_overlap(da0s2, da0s1d)) << "a sibling slice";
    EXPECT_FALSE(dragonfly_nodes_overlap(da0s2, da0s19)) << "a sibling slice";
    EXPECT_FALSE(dragonfly_nodes_overlap(da1, da0)) << "another unit";
    EXPECT_FALSE(dragonfly_nodes_overlap(da40, da0s1d)) << "another unit";
}

TEST(MountSource, Hammer2NameIsCutAtItsLastAt) {
    EXPECT_EQ(cut_hammer2_label("/dev/serno/S1.s1d@ROOT"), "/dev/serno/S1.s1d");
    EXPECT_EQ(cut_hammer2_label("/dev/serno/AB@12.s1d@DATA"), "/dev/serno/AB@12.s1d")
        << "an '@' inside the serial number stays";
    EXPECT_EQ(cut_hammer2_label("/dev/da0s1d"), "/dev/da0s1d");
    EXPECT_EQ(cut_hammer2_label("@LOCAL"), "");
    EXPECT_EQ(node_path_of("da0s1a"), "/dev/da0s1a") << "the root's name may lack /dev/";
    EXPECT_EQ(node_path_of("/dev/serno/S1.s1a"), "/dev/serno/S1.s1a");
    EXPECT_EQ(node_path_of("/home/data"), "") << "a null mount's folder is no node";
    EXPECT_EQ(node_path_of(""), "");
}

TEST(WriteRefusal, EpermMeansInUseOnlyBelowSecurelevelTwo) {
    EXPECT_TRUE(write_refusal_means_in_use(EBUSY, 0));
    EXPECT_TRUE(write_refusal_means_in_use(EBUSY, 2));
    EXPECT_TRUE(write_refusal_means_in_use(EPERM, -1));
    EXPECT_TRUE(write_refusal_means_in_use(EPERM, 1));
    EXPECT_FALSE(write_refusal_means_in_use(EPERM, 2));
    EXPECT_FALSE(write_refusal_means_in_use(EPERM, 3));
    EXPECT_FALSE(write_refusal_means_in_use(EACCES, 0));
}

} // namespace
