// SPDX-License-Identifier: MIT
#pragma once

#include <gtest/gtest.h>

#include <string>

// Why loop devices cannot be used here (not root, no /dev/loop-control), or
// an empty string when they can.
std::string gate_loop_devices_missing();

// Why a fault device cannot be used here (the loop reasons, no /dev/fuse, no
// fault daemon built), or an empty string when it can.
std::string gate_fault_device_missing();

// Whether a missing requirement must fail the test instead of skipping it
// (environment CI=true: CI runs as root and must run every device test).
bool gate_required_by_ci();

// Skips the current test with REASON, or fails it under CI=true. Use in a test
// body or a fixture's SetUp (it returns from the calling function).
#define REQUIRE_GATE(reason_expression)                                                            \
    do {                                                                                           \
        const std::string gate_reason_ = (reason_expression);                                      \
        if (!gate_reason_.empty()) {                                                               \
            if (gate_required_by_ci())                                                             \
                FAIL() << gate_reason_ << " (CI=true: device tests must run, not skip)";           \
            GTEST_SKIP() << gate_reason_;                                                          \
        }                                                                                          \
    } while (0)

#define REQUIRE_LOOP_DEVICES() REQUIRE_GATE(gate_loop_devices_missing())
#define REQUIRE_FAULT_DEVICE() REQUIRE_GATE(gate_fault_device_missing())
