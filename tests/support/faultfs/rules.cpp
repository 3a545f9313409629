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
    int numbers; // after START END
};

constexpr rule_word rule_words[] = {
    {"fail-write", rule_fail_write, 1}, {"fail-read", rule_fail_read, 1}, {"flip", rule_flip, 0},
    {"drop-write", rule_drop_write, 0}, {"delay", rule_delay, 1},
};

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
        const std::size_t wanted = 3 + static_cast<std::size_t>(known.numbers);
        std::uint64_t numbers[4] = {0, 0, 0, 0};
        if (words.size() != wanted)
            return std::string("wrong number of arguments for ") + known.name;
        for (std::size_t at = 1; at < wanted; ++at)
            if (!parse_number(words[at], numbers[at - 1]))
                return "not a number: " + words[at];
        if (numbers[0] >= numbers[1])
            return "empty range in: " + line;
        command.kind = command_rule;
        command.rule.kind = known.kind;
        command.rule.start = numbers[0];
        command.rule.end = numbers[1];
        if (known.kind == rule_delay)
            command.rule.delay_ms = static_cast<unsigned>(numbers[2]);
        else if (known.numbers == 1) {
            if (numbers[2] == 0 || numbers[2] > 4095)
                return "not an errno: " + words[3];
            command.rule.error = static_cast<int>(numbers[2]);
        }
        return "";
    }
    return "unknown command: " + verb;
}
