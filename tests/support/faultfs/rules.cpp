// SPDX-License-Identifier: MIT
#include "rules.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace {

bool parse_number(const std::string& word, std::uint64_t& value) {
    if (word.empty() || word[0] == '-')
        return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(word.c_str(), &end, 0);
    if (errno != 0 || end == word.c_str() || *end != '\0')
        return false;
    value = parsed;
    return true;
}

struct rule_word {
    const char* name;
    rule_kind kind;
    int numbers; // after START END, or the only one of a whole-disk rule
};

constexpr rule_word rule_words[] = {
    {"fail-write", rule_fail_write, 1},
    {"fail-read", rule_fail_read, 1},
    {"flip", rule_flip, 0},
    {"drop-write", rule_drop_write, 0},
    {"delay", rule_delay, 1},
    {"stuck", rule_stuck, 1},
    {"drop-after", rule_drop_after, 1},
    {"wrap", rule_wrap, 1},
    {"lying-cache", rule_lying_cache, 1},
};

// Fills the size of a whole-disk rule from its one number.
std::string set_whole_disk(const std::string& word, std::uint64_t bytes, fault_rule& rule) {
    if (rule.kind == rule_wrap && (bytes == 0 || bytes % 512 != 0))
        return "not a positive multiple of 512: " + word;
    rule.bytes = bytes;
    return "";
}

// Fills the number after START END of a range rule.
std::string set_range_number(const std::string& word, std::uint64_t number, fault_rule& rule) {
    switch (rule.kind) {
    case rule_delay:
        rule.delay_ms = static_cast<unsigned>(number);
        return "";
    case rule_stuck:
        if (number == 0 || number > 0xFF)
            return "not a byte mask: " + word;
        rule.mask = static_cast<unsigned char>(number);
        return "";
    default:
        if (number == 0 || number > 4095)
            return "not an errno: " + word;
        rule.error = static_cast<int>(number);
        return "";
    }
}

} // namespace

std::string rules_parse_line(const std::string& line, rule_command& command) {
    command = rule_command{};
    std::istringstream in(line.substr(0, line.find('#')));
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    if (words.empty())
        return "";

    const std::string& verb = words[0];
    if (verb == "clear" || verb == "reset-stats") {
        if (words.size() != 1)
            return verb + " takes no arguments";
        command.kind = verb == "clear" ? command_clear : command_reset_stats;
        return "";
    }
    for (const rule_word& known : rule_words) {
        if (verb != known.name)
            continue;
        const bool whole_disk = rule_is_whole_disk(known.kind);
        const std::size_t wanted = (whole_disk ? 1 : 3) + static_cast<std::size_t>(known.numbers);
        std::uint64_t numbers[3] = {0, 0, 0};
        if (words.size() != wanted)
            return std::string("wrong number of arguments for ") + known.name;
        for (std::size_t at = 1; at < wanted; ++at)
            if (!parse_number(words[at], numbers[at - 1]))
                return "not a number: " + words[at];
        command.rule.kind = known.kind;
        std::string error;
        if (whole_disk) {
            error = set_whole_disk(words[1], numbers[0], command.rule);
        } else if (numbers[0] >= numbers[1]) {
            error = "empty range in: " + line;
        } else {
            command.rule.start = numbers[0];
            command.rule.end = numbers[1];
            if (known.numbers == 1)
                error = set_range_number(words[3], numbers[2], command.rule);
        }
        if (error.empty())
            command.kind = command_rule;
        return error;
    }
    return "unknown command: " + verb;
}
