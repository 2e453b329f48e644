#include "OutputNames.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace Kestrune {
namespace {

bool IsReservedOnWindows(unsigned char byte) {
    return byte < 32 ||
           std::string_view("\\:<>\"|?*").find(static_cast<char>(byte)) != std::string_view::npos;
}

char AsciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string AsciiUpper(std::string_view text) {
    std::string upper(text);
    std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return AsciiUpper(c); });
    return upper;
}

// Windows opens a device, not a file, for these names, whatever extension
// follows and whatever the letter case.
bool IsWindowsDeviceName(std::string_view name) {
    std::string_view stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ') {
        stem.remove_suffix(1);
    }
    const std::string upper = AsciiUpper(stem);
    static constexpr std::array<std::string_view, 4> kPlain = {"CON", "PRN", "AUX", "NUL"};
    if (std::find(kPlain.begin(), kPlain.end(), upper) != kPlain.end()) {
        return true;
    }
    return upper.size() == 4 && (upper.starts_with("COM") || upper.starts_with("LPT")) &&
           upper[3] >= '1' && upper[3] <= '9';
}

// The form in which the file system compares names.
std::string CollisionKey(const std::string& name, NameRules rules) {
    return rules == NameRules::Windows ? AsciiUpper(name) : name;
}

std::string WithSuffix(const std::string& name, unsigned number) {
    const std::string suffix = "~" + std::to_string(number);
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) {
        return name + suffix;
    }
    return name.substr(0, dot) + suffix + name.substr(dot);
}

} // namespace

NameRules HostNameRules() {
#ifdef _WIN32
    return NameRules::Windows;
#else
    return NameRules::Posix;
#endif
}

std::string FlattenEntryName(std::string_view name, NameRules rules) {
    std::string flat(name);
    for (char& c : flat) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '/' || c == '\0' || (rules == NameRules::Windows && IsReservedOnWindows(byte))) {
            c = '_';
        }
    }
    if (flat.empty() || flat == "." || flat == "..") {
        return {};
    }
    if (rules == NameRules::Windows) {
        // Windows drops trailing dots and spaces from a name, so "a." would
        // silently become "a" and overwrite another entry's file.
        if (flat.back() == '.' || flat.back() == ' ') {
            flat.back() = '_';
        }
        if (IsWindowsDeviceName(flat)) {
            flat.insert(0, "_");
        }
    }
    return flat;
}

std::vector<std::optional<std::string>> AssignOutputNames(const std::vector<ArchiveEntry>& entries,
                                                          NameRules rules) {
    std::vector<std::optional<std::string>> names;
    names.reserve(entries.size());
    std::unordered_set<std::string> taken;
    for (const ArchiveEntry& entry : entries) {
        std::string flat = FlattenEntryName(entry.name, rules);
        if (flat.empty()) {
            names.emplace_back(std::nullopt);
            continue;
        }
        taken.insert(CollisionKey(flat, rules));
        names.emplace_back(std::move(flat));
    }

    // Occurrences so far of each plain name, by collision key.
    std::unordered_map<std::string, unsigned> seen;
    seen.reserve(names.size());
    for (std::optional<std::string>& name : names) {
        if (!name) {
            continue;
        }
        unsigned& occurrence = seen[CollisionKey(*name, rules)];
        if (++occurrence == 1) {
            continue;
        }
        unsigned number = occurrence;
        std::string candidate = WithSuffix(*name, number);
        while (!taken.insert(CollisionKey(candidate, rules)).second) {
            candidate = WithSuffix(*name, ++number);
        }
        name = std::move(candidate);
    }
    return names;
}

} // namespace Kestrune
