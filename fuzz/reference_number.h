// SPDX-License-Identifier: MIT
#pragma once

#include <cctype>
#include <cstdint>
#include <string>

// What a value text denotes, worked out independently of the parsers: leading
// white space, an optional sign, decimal digits, then the rest. Wide enough
// that no text of the fuzzer's length overflows it unnoticed.
struct denoted_number {
    bool has_digits = false; // at least one decimal digit
    bool too_long = false;   // more digits than fit; certainly out of range
    __int128 value = 0;      // signed
    std::string rest;        // what follows the digits
};

inline denoted_number denote(const std::string& text) {
    denoted_number n;
    size_t i = 0;
    while (i < text.size() && isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    size_t digits_at = i;
    while (i < text.size() && isdigit(static_cast<unsigned char>(text[i]))) {
        if (n.value > (static_cast<__int128>(1) << 100))
            n.too_long = true;
        else
            n.value = n.value * 10 + (text[i] - '0');
        ++i;
    }
    n.has_digits = i > digits_at;
    if (negative)
        n.value = -n.value;
    // Without digits strtol converts nothing: the whole text is the rest.
    n.rest = text.substr(n.has_digits ? i : 0);
    return n;
}
