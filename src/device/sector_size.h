// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

// Asks the device behind fd for its logical sector size. Returns -1 with errno
// set when the request fails; any other value is success.
int request_sector_size(int fd, uint32_t* sector_size);
