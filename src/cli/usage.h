// SPDX-License-Identifier: MIT
#pragma once

// Writes the usage text to standard error in one write.
void print_usage();
