// SPDX-License-Identifier: MIT
#include "device/in_use_rules.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace {

// A + B, or to_the_end when it would pass it.
uint64_t add_capped(uint64_t a, uint64_t b) {
    return b > to_the_end - a ? to_the_end : a + b;
}

constexpr uint64_t unit_bytes = 512;

// Bits FROM..FROM+COUNT-1 of VALUE, as a number.
uint32_t bits(uint32_t value, int from, int count) {
    return (value >> from) & ((1u << count) - 1);
}

constexpr uint32_t compatibility_slice = 0;
constexpr uint32_t whole_disk_slice = 1;

} // namespace

byte_span whole_device() {
    return byte_span{0, to_the_end};
}

byte_span partition_span(uint64_t start_units, uint64_t size_units) {
    const uint64_t start = std::min(start_units, to_the_end / unit_bytes) * unit_bytes;
    const uint64_t size = std::min(size_units, to_the_end / unit_bytes) * unit_bytes;
    return byte_span{start, add_capped(start, size)};
}

byte_span loop_span(uint64_t offset, uint64_t size_limit) {
    return byte_span{offset, size_limit == 0 ? to_the_end : add_capped(offset, size_limit)};
}

byte_span span_within(byte_span inner, byte_span outer) {
    const uint64_t start = std::min(add_capped(outer.start, inner.start), outer.end);
    const uint64_t end = inner.end == to_the_end ? outer.end : add_capped(outer.start, inner.end);
    return byte_span{start, std::min(end, outer.end)};
}

bool spans_overlap(byte_span a, byte_span b) {
    return a.start < a.end && b.start < b.end && a.start < b.end && b.start < a.end;
}

geom_holding judge_geom_mode(const std::string& mode, geom_access own) {
    geom_access found;
    int length = 0;
    if (std::sscanf(mode.c_str(), "r%dw%de%d%n", &found.reads, &found.writes, &found.exclusive,
                    &length) != 3 ||
        static_cast<size_t>(length) != mode.size() || found.reads < 0 || found.writes < 0 ||
        found.exclusive < 0)
        return geom_holding::held;
    if (found.writes > own.writes || found.exclusive > own.exclusive)
        return geom_holding::held;
    return found.reads > own.reads ? geom_holding::reads_only : geom_holding::free;
}

dragonfly_node dragonfly_node_of(uint32_t minor) {
    dragonfly_node node;
    node.unit = bits(minor, 3, 5) | bits(minor, 21, 4) << 5;
    node.slice = bits(minor, 16, 4) | bits(minor, 29, 3) << 4;
    node.partition = bits(minor, 0, 3) | bits(minor, 20, 1) << 3 | bits(minor, 25, 4) << 4;
    return node;
}

bool dragonfly_nodes_overlap(uint32_t minor_a, uint32_t minor_b) {
    const dragonfly_node a = dragonfly_node_of(minor_a);
    const dragonfly_node b = dragonfly_node_of(minor_b);
    if (a.unit != b.unit)
        return false;
    const auto spans_disk = [](uint32_t slice) {
        return slice == compatibility_slice || slice == whole_disk_slice;
    };
    return a.slice == b.slice || spans_disk(a.slice) || spans_disk(b.slice);
}

std::string cut_hammer2_label(const std::string& source) {
    const size_t at = source.rfind('@');
    return at == std::string::npos ? source : source.substr(0, at);
}

std::string node_path_of(const std::string& name) {
    if (name.empty())
        return name;
    if (name[0] != '/')
        return "/dev/" + name;
    return name.compare(0, 5, "/dev/") == 0 ? name : std::string();
}

bool write_refusal_means_in_use(int error, int securelevel) {
    if (error == EBUSY)
        return true;
    return error == EPERM && securelevel < 2;
}
