// SPDX-License-Identifier: MIT
#include "device/description.h"

#include "device/in_use_rules.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <string>
#include <vector>

namespace {

std::string trimmed(const std::string& text) {
    const char* blanks = " \t\r\n";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool starts_with(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// The kinds of name that carry model and serial, best first.
const char* const telling_kinds[] = {"ata-", "nvme-", "usb-", "scsi-", "mmc-", "virtio-"};
// Names that carry only a number, some of them of a telling kind: never shown.
const char* const number_kinds[] = {"wwn-",   "nvme-eui.", "nvme-nvme.", "scsi-2",
                                    "scsi-3", "dm-uuid-",  "md-uuid-",   "lvm-pv-uuid-"};

bool is_partition_link(const std::string& name) {
    const std::size_t at = name.rfind("-part");
    return at != std::string::npos && at + 5 < name.size() &&
           std::all_of(name.begin() + static_cast<std::ptrdiff_t>(at + 5), name.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

// The rank of a name, lower is better; -1 for a name never to show.
int rank_of(const std::string& name) {
    if (is_partition_link(name))
        return -1;
    for (const char* kind : number_kinds)
        if (starts_with(name, kind))
            return -1;
    const int kinds = static_cast<int>(sizeof telling_kinds / sizeof telling_kinds[0]);
    for (int rank = 0; rank < kinds; ++rank)
        if (starts_with(name, telling_kinds[rank]))
            return rank;
    return kinds;
}

} // namespace

std::string model_and_serial(const std::string& model, const std::string& serial) {
    const std::string shown_model = trimmed(model);
    const std::string shown_serial = trimmed(serial);
    std::string text = shown_model.empty() ? "" : "model " + shown_model;
    if (!shown_serial.empty())
        text += (text.empty() ? "serial " : ", serial ") + shown_serial;
    return text;
}

std::string pick_by_id_name(const std::vector<std::string>& names) {
    std::string best;
    int best_rank = -1;
    for (const std::string& name : names) {
        const int rank = rank_of(name);
        if (rank < 0)
            continue;
        const bool better = best_rank < 0 || rank < best_rank ||
                            (rank == best_rank && (name.size() < best.size() ||
                                                   (name.size() == best.size() && name < best)));
        if (better) {
            best = name;
            best_rank = rank;
        }
    }
    return best;
}

std::string serno_text(const std::string& name) {
    std::string text = name;
    for (char& c : text)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '@' && c != '+' &&
            c != '.')
            c = '_';
    return text;
}

uint32_t dragonfly_unit(uint32_t minor) {
    return dragonfly_node_of(minor).unit;
}

bool dragonfly_whole_disk(uint32_t minor) {
    const dragonfly_node node = dragonfly_node_of(minor);
    return node.slice == 1 && node.partition == 255;
}
