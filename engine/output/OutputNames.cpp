#include "OutputNames.h"

#include "UpperCaseTable.h"
#include "Utf8.h"

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

bool IsContinuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Windows-1252 bytes 0x80-0x9F; the five it leaves undefined stand for the
// control characters of the same number, as Windows converts them.
constexpr std::array<char16_t, 32> kWindows1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// The name's characters as Windows sees them, in UTF-8.
std::string WindowsCharacters(std::string_view name) {
    if (IsValidUtf8(name)) {
        return std::string(name);
    }
    std::string text;
    text.reserve(name.size() * 2);
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        AppendUtf8(text, byte >= 0x80 && byte < 0xA0 ? kWindows1252High[byte - 0x80] : byte);
    }
    return text;
}

// Length as the file system counts it: bytes, or UTF-16 units of the UTF-8
// text on Windows.
std::size_t NameLength(std::string_view name, NameRules rules) {
    if (rules == NameRules::Posix) {
        return name.size();
    }
    std::size_t units = 0;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        units += IsContinuation(c) ? 0 : byte >= 0xF0 ? 2 : 1;
    }
    return units;
}

// The longest start of `text` that is at most `limit` long and ends at a
// character boundary (for bytes that are no UTF-8, within 3 bytes of the
// limit).
std::size_t CutPoint(std::string_view text, std::size_t limit, NameRules rules) {
    if (rules == NameRules::Posix) {
        std::size_t cut = std::min(limit, text.size());
        for (int i = 0; i < 3 && cut > 0 && cut < text.size() && IsContinuation(text[cut]); ++i) {
            --cut;
        }
        return cut;
    }
    std::size_t units = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t next = at + 1;
        while (next < text.size() && IsContinuation(text[next])) {
            ++next;
        }
        const std::size_t width = static_cast<unsigned char>(text[at]) >= 0xF0 ? 2 : 1;
        if (units + width > limit) {
            break;
        }
        units += width;
        at = next;
    }
    return at;
}

// `stem` + `insert` + `extension`, with `stem` cut to make the whole fit.
std::string Fit(std::string_view stem, std::string_view insert, std::string_view extension,
                NameRules rules) {
    const std::size_t fixed = NameLength(insert, rules);
    std::size_t extensionLength = NameLength(extension, rules);
    std::string whole(stem);
    if (fixed + extensionLength >= kMaxFileNameLength) {
        // No room for any stem beside it: the extension is cut with the rest.
        whole += extension;
        extension = {};
        extensionLength = 0;
        stem = whole;
    }
    std::string name;
    const std::size_t room = kMaxFileNameLength - fixed - extensionLength;
    if (NameLength(stem, rules) > room) {
        name.assign(stem.substr(0, CutPoint(stem, room, rules)));
    } else {
        name.assign(stem);
    }
    name += insert;
    name += extension;
    if (rules == NameRules::Windows && !name.empty() &&
        (name.back() == '.' || name.back() == ' ')) {
        name.back() = '_'; // a cut may end in what Windows would drop
    }
    return name;
}

std::size_t ExtensionStart(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name.size() : dot;
}

} // namespace

NameRules HostNameRules() {
#ifdef _WIN32
    return NameRules::Windows;
#else
    return NameRules::Posix;
#endif
}

std::string FoldLetterCase(std::string_view name) {
    if (!IsValidUtf8(name)) {
        return AsciiUpper(name);
    }
    std::string folded;
    folded.reserve(name.size());
    for (std::size_t at = 0; at < name.size();) {
        char32_t code = *DecodeUtf8(name, at);
        const auto match = std::lower_bound(
            kUpperCase.begin(), kUpperCase.end(), code,
            [](const std::pair<char32_t, char32_t>& entry, char32_t c) { return entry.first < c; });
        if (match != kUpperCase.end() && match->first == code) {
            code = match->second;
        }
        AppendUtf8(folded, code);
    }
    return folded;
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
        flat = WindowsCharacters(flat);
        // Windows drops trailing dots and spaces from a name, so "a." would
        // silently become "a" and overwrite another entry's file.
        if (flat.back() == '.' || flat.back() == ' ') {
            flat.back() = '_';
        }
        if (IsWindowsDeviceName(flat)) {
            flat.insert(0, "_");
        }
    }
    if (NameLength(flat, rules) > kMaxFileNameLength) {
        const std::size_t dot = ExtensionStart(flat);
        flat = Fit(std::string_view(flat).substr(0, dot), "", std::string_view(flat).substr(dot),
                   rules);
    }
    return flat;
}

std::string WithNumberSuffix(const std::string& name, unsigned number, NameRules rules) {
    const std::size_t dot = ExtensionStart(name);
    return Fit(std::string_view(name).substr(0, dot), "~" + std::to_string(number),
               std::string_view(name).substr(dot), rules);
}

std::string NameKey(const std::string& name, NameRules rules, LetterCase letterCase) {
    return rules == NameRules::Windows || letterCase == LetterCase::Folded ? FoldLetterCase(name)
                                                                           : name;
}

std::vector<std::optional<std::string>> AssignOutputNames(const std::vector<ArchiveEntry>& entries,
                                                          NameRules rules, LetterCase letterCase) {
    std::vector<std::optional<std::string>> names;
    names.reserve(entries.size());
    for (const ArchiveEntry& entry : entries) {
        std::string flat = FlattenEntryName(entry.name, rules);
        names.emplace_back(flat.empty() ? std::nullopt
                                        : std::optional<std::string>(std::move(flat)));
    }
    return AssignDistinctNames(std::move(names), rules, letterCase);
}

std::vector<std::optional<std::string>>
AssignDistinctNames(std::vector<std::optional<std::string>> names, NameRules rules,
                    LetterCase letterCase) {
    std::unordered_set<std::string> taken;
    taken.reserve(names.size());
    for (const std::optional<std::string>& name : names) {
        if (name) {
            taken.insert(NameKey(*name, rules, letterCase));
        }
    }

    // Per plain name, by key: occurrences so far, and the number the last
    // search for a free "~N" stopped at. Every number below that stop was
    // taken then and still is, so the next search resumes there: a package
    // that repeats one name thousands of times beside its "~N" names costs
    // linear time, not quadratic, and gets the same names.
    struct Repeats {
        unsigned occurrences = 0;
        unsigned lastNumber = 0;
    };
    std::unordered_map<std::string, Repeats> seen;
    seen.reserve(names.size());
    for (std::optional<std::string>& name : names) {
        if (!name) {
            continue;
        }
        Repeats& repeats = seen[NameKey(*name, rules, letterCase)];
        if (++repeats.occurrences == 1) {
            continue;
        }
        unsigned number = std::max(repeats.occurrences, repeats.lastNumber + 1);
        std::string candidate = WithNumberSuffix(*name, number, rules);
        while (!taken.insert(NameKey(candidate, rules, letterCase)).second) {
            candidate = WithNumberSuffix(*name, ++number, rules);
        }
        repeats.lastNumber = number;
        name = std::move(candidate);
    }
    return names;
}

TreePlacement PlaceInTree(const std::vector<ArchiveEntry>& entries, NameRules rules,
                          LetterCase letterCase) {
    TreePlacement placed;
    // Per directory: what claims a name in it, in order of first appearance
    // (a subdirectory by its index, a file by its entry's index), and its
    // subdirectories by key.
    struct Claim {
        bool isDirectory;
        std::size_t index;
    };
    struct Building {
        std::vector<Claim> claims;
        std::vector<std::optional<std::string>> plain;
        std::unordered_map<std::string, std::size_t> subdirectories;
    };
    std::vector<Building> building(1);
    placed.directories.emplace_back();
    placed.directoryOf.resize(entries.size());
    placed.names.resize(entries.size());
    std::vector<std::string> components;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string path = entries[i].folder + entries[i].name;
        components.clear();
        for (std::size_t at = 0; at <= path.size();) {
            std::size_t end = path.find('/', at);
            if (end == std::string::npos) {
                end = path.size();
            }
            const std::string_view part = std::string_view(path).substr(at, end - at);
            if (!part.empty() && part != "." && part != "..") {
                components.push_back(FlattenEntryName(part, rules));
            }
            at = end + 1;
        }
        std::size_t directory = 0;
        for (std::size_t c = 0; c + 1 < components.size(); ++c) {
            auto [found, added] = building[directory].subdirectories.try_emplace(
                NameKey(components[c], rules, letterCase), placed.directories.size());
            const std::size_t sub = found->second;
            if (added) {
                building[directory].claims.push_back({true, sub});
                building[directory].plain.emplace_back(components[c]);
                placed.directories.push_back({directory, {}, {}, {}});
                building.emplace_back();
            }
            directory = sub;
        }
        placed.directoryOf[i] = directory;
        if (!components.empty()) {
            building[directory].claims.push_back({false, i});
            building[directory].plain.emplace_back(std::move(components.back()));
        }
    }
    // Directories were added after their parents, so each parent's path is
    // known before its children's.
    // Subdirectories claim their names before files, so that a path such as
    // "MAP01/THINGS" keeps its directory's name beside a lump "MAP01".
    std::vector<std::size_t> order;
    std::vector<std::optional<std::string>> plain;
    for (std::size_t d = 0; d < building.size(); ++d) {
        const std::vector<Claim>& claims = building[d].claims;
        order.clear();
        plain.clear();
        for (const bool directories : {true, false}) {
            for (std::size_t k = 0; k < claims.size(); ++k) {
                if (claims[k].isDirectory == directories) {
                    order.push_back(k);
                    plain.push_back(std::move(building[d].plain[k]));
                }
            }
        }
        std::vector<std::optional<std::string>> given =
            AssignDistinctNames(std::move(plain), rules, letterCase);
        for (std::size_t g = 0; g < given.size(); ++g) {
            const std::size_t k = order[g];
            const Claim claim = claims[k];
            if (claim.isDirectory) {
                TreePlacement::Directory& sub = placed.directories[claim.index];
                sub.name = *given[g];
                sub.path = placed.directories[d].path + sub.name + "/";
            } else {
                placed.names[claim.index] = given[g];
            }
        }
        placed.directories[d].given = std::move(given);
    }
    return placed;
}

} // namespace Kestrune
