// SPDX-License-Identifier: MIT
#include "device/probes.h"

// This system offers no exclusive open that tells whether a device is in use.
int claim_device(const char*) {
    return probe_ok;
}
