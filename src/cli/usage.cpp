// SPDX-License-Identifier: MIT
#include "cli/usage.h"

#include <unistd.h>

namespace {

// clang-format off
constexpr char usage_text[] =
    "platterfell - Multi-threaded disk testing utility, v1.4.0\n"
    "\n"
    "Usage: platterfell [OPTIONS] DEVICE\n"
    "\n"
    "Options:\n"
    "  -h               - Print help and exit\n"
    "  -w <workers>     - Number of parallel worker threads (default: 4)\n"
    "  -n <passes>      - Number of write+verify passes to perform (default: 1)\n"
    "  -b <blocksize>   - Block size for write operations (default: 4096)\n"
    "                     Supports k and m suffixes (e.g., 64k, 1m, 32m)\n"
    "  -y               - Skip confirmation prompt and start immediately\n"
    "                     This will destroy all data on the target disk\n"
    "  -z               - Write zero-filled blocks instead of random data\n"
    "  -r               - Read the whole device back after the last pass\n"
    "                     Finds fake capacity and writes lost in the drive's cache\n";
// clang-format on
static_assert(sizeof usage_text - 1 == 776, "the usage text is 776 bytes");

} // namespace

void print_usage() {
    // One write, so that the text arrives whole even on a shared terminal.
    ssize_t written = write(STDERR_FILENO, usage_text, sizeof usage_text - 1);
    (void)written;
}
