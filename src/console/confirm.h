// SPDX-License-Identifier: MIT
#pragma once

// Asks on standard error whether the data on the device may be destroyed and
// reads one key (y or n, no Enter) from standard input. Returns 0 for yes and
// 1 for no; the end of standard input, or a read error, counts as no.
int ask_confirmation();
