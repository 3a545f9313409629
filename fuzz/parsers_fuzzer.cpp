// SPDX-License-Identifier: MIT
// Feeds arbitrary value texts to parse_size and parse_count and checks that an
// accepted value is exactly the number the text denotes: a count within
// 1..2^31-1, a block size within 1..largest_block_size after its suffix.
#include "cli/options.h"
#include "reference_number.h"

#include <cstdlib>
#include <string>

namespace {

[[noreturn]] void broken(const char* what, const std::string& text) {
    fprintf(stderr, "property broken: %s for \"%s\"\n", what, text.c_str());
    abort();
}

void check_count(const std::string& text) {
    uint32_t field = 0;
    int result = parse_count(text.c_str(), &field);
    denoted_number n = denote(text);
    bool valid =
        n.has_digits && !n.too_long && n.rest.empty() && n.value >= 1 && n.value <= largest_value;
    if (result != parse_ok && result != parse_invalid)
        broken("parse_count gave a code other than 0 or 2", text);
    if ((result == parse_ok) != valid)
        broken("parse_count accepted what it should refuse, or the reverse", text);
    if (result == parse_ok && field != n.value)
        broken("parse_count stored another number", text);
}

void check_size(const std::string& text) {
    uint32_t field = 0;
    int result = parse_size(text.c_str(), &field);
    denoted_number n = denote(text);
    __int128 expected = n.value;
    bool suffix_ok = true;
    if (n.rest.size() == 1) {
        char c = n.rest[0];
        if (c == 'k' || c == 'K')
            expected <<= 10;
        else if (c == 'm' || c == 'M')
            expected <<= 20;
        else
            suffix_ok = false;
    }
    bool number_ok = n.has_digits && !n.too_long && n.value >= 1 && n.value <= largest_value;
    if (result == parse_ok) {
        if (!number_ok || n.rest.size() > 1 || !suffix_ok)
            broken("parse_size accepted a bad text", text);
        if (expected < 1 || expected > largest_block_size || field != expected)
            broken("parse_size stored a wrong or out-of-range number", text);
    } else if (result == parse_unknown_suffix) {
        if (!number_ok || n.rest.size() != 1 || suffix_ok)
            broken("parse_size called a suffix unknown wrongly", text);
    } else if (result == parse_invalid) {
        if (number_ok && (n.rest.empty() || (n.rest.size() == 1 && suffix_ok)) &&
            expected <= largest_block_size)
            broken("parse_size refused a good text", text);
    } else {
        broken("parse_size gave an unknown code", text);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.substr(0, text.find('\0')); // the parsers see a C string
    check_count(text);
    check_size(text);
    return 0;
}
