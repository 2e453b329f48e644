#include "ByteOrder.h"
#include "PackWriters.h"
#include "WadFormat.h"

#include <algorithm>
#include <array>
#include <map>

// A WAD from the tree that a tree extraction of one writes (see WadFormat.h):
//
//   MAP01/THINGS, MAP01/LINEDEFS ...  the map's marker, then its lumps in the
//                                     order the engines look them up in
//   MAP01~2 (or MAP01)                the marker's own bytes, when it has any
//   sprites/, patches/, flats/        S_START ... S_END, P_ and F_ likewise;
//                                     the top-level files SS_START, S_END, ...
//                                     that the extraction wrote give the
//                                     markers' names and bytes
//   anything else at the top          a lump; "NAME~2" is a second NAME
//
// Order without the user's: maps, other lumps, sprites, patches, flats, as
// deutex builds a WAD; inside each, byte order of the names. The user's order
// (lump names as --list shows them) places markers and lumps as listed, each
// map or namespace kept whole. Lumps follow one another from offset 12; the
// directory comes last.
namespace Kestrune::Wad {
namespace {

// Binary maps (Doom, Hexen) and then the text format's lumps, in the order
// the engines and editors write them; ENDMAP closes a text map.
constexpr std::array<std::string_view, 18> kMapLumpOrder = {
    "THINGS",   "TEXTMAP", "LINEDEFS", "SIDEDEFS", "VERTEXES", "SEGS",
    "SSECTORS", "NODES",   "SECTORS",  "ZNODES",   "REJECT",   "BLOCKMAP",
    "BEHAVIOR", "SCRIPTS", "DIALOGUE", "LEAFS",    "LIGHTS",   "ENDMAP"};

struct Namespace {
    std::string_view folder; // as the reader names it, without "/"
    char letter;
};
// deutex's order: sprites, patches, flats.
constexpr std::array<Namespace, 3> kNamespaces = {
    {{"sprites", 'S'}, {"patches", 'P'}, {"flats", 'F'}}};

struct Lump {
    std::string name;
    const PackFile* file = nullptr; // null: an empty marker
};

struct Group {
    bool isMap = false;
    Lump start;
    Lump end; // namespaces only
    std::vector<Lump> lumps;
    std::vector<bool> placed;
    bool started = false;
};

// "NAME~2" is the second lump NAME that an extraction met: its lump name.
std::string_view WithoutRepeatMark(std::string_view name) {
    const std::size_t tilde = name.rfind('~');
    if (tilde == std::string_view::npos || tilde == 0 || tilde + 1 == name.size()) {
        return name;
    }
    for (std::size_t i = tilde + 1; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return name;
        }
    }
    return name.substr(0, tilde);
}

std::optional<std::string> CheckLumpName(std::string_view lump, const std::string& path) {
    if (lump.size() > kLumpNameSize) {
        return "'" + path + "' is longer than 8 bytes: a WAD cannot hold the name";
    }
    return std::nullopt;
}

// The namespace a top-level marker name starts or ends ("SS_START": 'S').
std::optional<std::pair<char, bool>> MarkerOf(std::string_view name) {
    for (const auto& [suffix, isStart] : {std::pair<std::string_view, bool>{"_START", true},
                                          std::pair<std::string_view, bool>{"_END", false}}) {
        if (name.size() > suffix.size() && name.ends_with(suffix)) {
            const std::string_view letters = name.substr(0, name.size() - suffix.size());
            for (const Namespace& space : kNamespaces) {
                if (letters.size() <= 2 && std::all_of(letters.begin(), letters.end(),
                                                       [&](char c) { return c == space.letter; })) {
                    return std::pair<char, bool>{space.letter, isStart};
                }
            }
        }
    }
    return std::nullopt;
}

std::size_t MapRank(std::string_view lump) {
    return static_cast<std::size_t>(std::find(kMapLumpOrder.begin(), kMapLumpOrder.end(), lump) -
                                    kMapLumpOrder.begin());
}

class Layout {
public:
    std::optional<std::string> Build(const PackPlan& plan) {
        std::map<std::string, Group> maps;
        std::array<Group, kNamespaces.size()> spaces;
        std::vector<const PackFile*> topLevel;
        for (std::size_t s = 0; s < kNamespaces.size(); ++s) {
            spaces[s].start.name = std::string(1, kNamespaces[s].letter) + "_START";
            spaces[s].end.name = std::string(1, kNamespaces[s].letter) + "_END";
        }
        for (const PackFile& file : plan.files) {
            const std::size_t slash = file.name.find('/');
            if (slash == std::string::npos) {
                topLevel.push_back(&file);
                continue;
            }
            const std::string folder = file.name.substr(0, slash);
            const std::string lump = file.name.substr(slash + 1);
            if (lump.find('/') != std::string::npos) {
                return "'" + file.name + "' lies in a folder a WAD has no place for";
            }
            if (auto bad = CheckLumpName(lump, file.name)) {
                return bad;
            }
            const auto space = std::find_if(kNamespaces.begin(), kNamespaces.end(),
                                            [&](const Namespace& n) { return n.folder == folder; });
            if (space != kNamespaces.end()) {
                spaces[static_cast<std::size_t>(space - kNamespaces.begin())].lumps.push_back(
                    {lump, &file});
            } else if (HasMapName(folder)) {
                if (!IsMapLump(lump)) {
                    return "'" + file.name + "' is no map lump: a WAD cannot keep it in the map";
                }
                Group& map = maps[folder];
                map.isMap = true;
                map.start.name = folder;
                map.lumps.push_back({lump, &file});
            } else {
                return "'" + file.name + "' lies in a folder a WAD has no place for";
            }
        }
        std::vector<Lump> plain;
        for (const PackFile* file : topLevel) {
            const std::string lump(WithoutRepeatMark(file->name));
            if (auto bad = CheckLumpName(lump, file->name)) {
                return bad;
            }
            const auto map = maps.find(lump);
            const auto marker = MarkerOf(lump);
            if (map != maps.end() && map->second.start.file == nullptr) {
                map->second.start.file = file;
            } else if (marker) {
                const auto space =
                    std::find_if(kNamespaces.begin(), kNamespaces.end(),
                                 [&](const Namespace& n) { return n.letter == marker->first; });
                Group& group = spaces[static_cast<std::size_t>(space - kNamespaces.begin())];
                Lump& which = marker->second ? group.start : group.end;
                if (which.file != nullptr) {
                    plain.push_back({lump, file}); // a second marker: an ordinary lump
                } else {
                    which = {lump, file};
                }
            } else {
                plain.push_back({lump, file});
            }
        }
        for (auto& [name, map] : maps) {
            std::stable_sort(map.lumps.begin(), map.lumps.end(), [](const Lump& a, const Lump& b) {
                return MapRank(a.name) < MapRank(b.name);
            });
            for (std::size_t i = 1; i < map.lumps.size(); ++i) {
                if (map.lumps[i].name == map.lumps[i - 1].name) {
                    return "map " + name + " holds two lumps " + map.lumps[i].name;
                }
            }
            if (map.lumps.empty() ||
                (map.lumps[0].name != "THINGS" && map.lumps[0].name != "TEXTMAP")) {
                return "map '" + name +
                       "' has neither THINGS nor TEXTMAP: a WAD would not show it as a map";
            }
            groups_.push_back(std::move(map));
        }
        plain_ = std::move(plain);
        plainPlaced_.assign(plain_.size(), false);
        firstSpace_ = groups_.size();
        for (Group& space : spaces) {
            if (!space.lumps.empty() || space.start.file != nullptr || space.end.file != nullptr) {
                groups_.push_back(std::move(space));
            }
        }
        for (Group& group : groups_) {
            group.placed.assign(group.lumps.size(), false);
        }
        return std::nullopt;
    }

    // The lumps in the user's order, then the rest in the standard order.
    std::optional<std::string> Arrange(const std::vector<std::string>& order) {
        for (const std::string& line : order) {
            if (line.empty()) {
                continue;
            }
            if (current_ != nullptr) {
                if (PlaceFrom(*current_, line)) {
                    continue;
                }
                if (!current_->isMap && line == current_->end.name) {
                    Close();
                    continue;
                }
            }
            const auto group = std::find_if(groups_.begin(), groups_.end(), [&](const Group& g) {
                return !g.started && g.start.name == line;
            });
            if (group != groups_.end()) {
                Close();
                Open(*group);
                continue;
            }
            const auto lump = std::find_if(plain_.begin(), plain_.end(), [&](const Lump& l) {
                return l.name == line &&
                       !plainPlaced_[static_cast<std::size_t>(&l - plain_.data())];
            });
            if (lump != plain_.end()) {
                Close();
                plainPlaced_[static_cast<std::size_t>(lump - plain_.begin())] = true;
                sequence_.push_back(*lump);
                continue;
            }
            return "the order names the lump " + line + ", which no file of the directory holds";
        }
        Close();
        for (std::size_t g = 0; g < firstSpace_; ++g) {
            if (!groups_[g].started) {
                Open(groups_[g]);
                Close();
            }
        }
        for (std::size_t i = 0; i < plain_.size(); ++i) {
            if (!plainPlaced_[i]) {
                sequence_.push_back(plain_[i]);
            }
        }
        for (std::size_t g = firstSpace_; g < groups_.size(); ++g) {
            if (!groups_[g].started) {
                Open(groups_[g]);
                Close();
            }
        }
        return std::nullopt;
    }

    const std::vector<Lump>& Sequence() const { return sequence_; }

private:
    bool PlaceFrom(Group& group, const std::string& name) {
        for (std::size_t i = 0; i < group.lumps.size(); ++i) {
            if (!group.placed[i] && group.lumps[i].name == name) {
                group.placed[i] = true;
                sequence_.push_back(group.lumps[i]);
                return true;
            }
        }
        return false;
    }
    void Open(Group& group) {
        group.started = true;
        sequence_.push_back(group.start);
        current_ = &group;
    }
    // Ends the open map or namespace: its lumps not yet placed, then its end.
    void Close() {
        if (current_ == nullptr) {
            return;
        }
        for (std::size_t i = 0; i < current_->lumps.size(); ++i) {
            if (!current_->placed[i]) {
                current_->placed[i] = true;
                sequence_.push_back(current_->lumps[i]);
            }
        }
        if (!current_->isMap) {
            sequence_.push_back(current_->end);
        }
        current_ = nullptr;
    }

    std::vector<Group> groups_; // maps, then namespaces
    std::size_t firstSpace_ = 0;
    std::vector<Lump> plain_;
    std::vector<bool> plainPlaced_;
    std::vector<Lump> sequence_;
    Group* current_ = nullptr;
};

} // namespace

std::optional<std::string> WritePackage(const PackPlan& plan, PackOutput& out,
                                        std::uint64_t& entries) {
    Layout layout;
    if (auto failure = layout.Build(plan)) {
        return failure;
    }
    if (auto failure = layout.Arrange(plan.order)) {
        return failure;
    }
    const std::vector<Lump>& lumps = layout.Sequence();
    std::uint64_t end = kHeaderSize;
    for (const Lump& lump : lumps) {
        end += lump.file != nullptr ? lump.file->size : 0;
    }
    if (end + std::uint64_t{kDirectoryRecordSize} * lumps.size() > UINT32_MAX) {
        return std::string("the files add up to more than a WAD can hold (4 GiB)");
    }
    PackSink* sink = out.Create(out.PackageName());
    if (sink == nullptr) {
        return out.Failure();
    }
    std::string header(plan.settings.iwad ? "IWAD" : "PWAD");
    AppendU32LE(header, static_cast<std::uint32_t>(lumps.size()));
    AppendU32LE(header, static_cast<std::uint32_t>(end));
    if (!sink->Write(header)) {
        return out.Failure();
    }
    std::string directory;
    for (const Lump& lump : lumps) {
        const std::uint64_t offset = sink->Position();
        if (lump.file != nullptr) {
            if (auto failure = ReadPackFile(*lump.file, [&](std::span<const unsigned char> bytes) {
                    return sink->Write(bytes);
                })) {
                return *failure == "stopped" ? out.Failure() : *failure;
            }
        }
        AppendU32LE(directory, static_cast<std::uint32_t>(offset));
        AppendU32LE(directory, static_cast<std::uint32_t>(sink->Position() - offset));
        std::string name = lump.name;
        name.resize(kLumpNameSize, '\0');
        directory += name;
    }
    if (!sink->Write(directory)) {
        return out.Failure();
    }
    entries = lumps.size();
    return std::nullopt;
}

} // namespace Kestrune::Wad
