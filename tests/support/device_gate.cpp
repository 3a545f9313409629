// SPDX-License-Identifier: MIT
#include "support/device_gate.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

std::string gate_loop_devices_missing() {
    if (geteuid() != 0)
        return "device test needs root (loop devices are attached by ioctl)";
    if (access("/dev/loop-control", R_OK | W_OK) != 0)
        return std::string("device test needs /dev/loop-control: ") + std::strerror(errno);
    return "";
}

std::string gate_fault_device_missing() {
    std::string reason = gate_loop_devices_missing();
    if (!reason.empty())
        return reason;
    if (access("/dev/fuse", R_OK | W_OK) != 0)
        return std::string("fault device test needs /dev/fuse: ") + std::strerror(errno);
    const std::string daemon = FAULTFS_BINARY;
    if (daemon.empty())
        return "fault device test needs the faultfs daemon, which is built only when "
               "pkg-config finds fuse3 (libfuse3-dev)";
    if (access(daemon.c_str(), X_OK) != 0)
        return "fault device test needs " + daemon + ": " + std::strerror(errno);
    return "";
}

bool gate_required_by_ci() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::strcmp(ci, "true") == 0;
}
