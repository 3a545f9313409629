// SPDX-License-Identifier: MIT
// Feeds arbitrary argument vectors (NUL-separated words) to the option stage.
// Whatever it accepts must be usable by the rest of the program.
#include "cli/options.h"

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> words{"platterfell"};
    std::string word;
    for (size_t i = 0; i < size && words.size() < 64; ++i) {
        if (data[i] == '\0') {
            words.push_back(word);
            word.clear();
        } else {
            word += static_cast<char>(data[i]);
        }
    }
    words.push_back(word);
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    run_settings settings;
    optind = 0; // glibc: start a new scan
    opterr = 0; // getopt's own diagnostics are not under test here
    int outcome = read_options(static_cast<int>(words.size()), argv.data(), &settings);
    if (outcome == options_ok) {
        if (settings.block_size == 0 || settings.block_size % 512 != 0 ||
            settings.block_size > largest_block_size)
            abort();
        if (settings.workers == 0 || settings.workers > largest_value)
            abort();
        if (settings.passes == 0 || settings.passes > largest_value)
            abort();
        if (optind < 1 || optind > static_cast<int>(words.size()))
            abort();
    }
    return 0;
}
