#include "WadFormat.h"

#include "Bounds.h"
#include "ByteOrder.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace Kestrune::Wad {
namespace {

using Record = std::array<unsigned char, kDirectoryRecordSize>;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

std::string_view LumpName(const Record& record) {
    const char* name = reinterpret_cast<const char*>(record.data() + 8);
    const auto* nul = static_cast<const char*>(std::memchr(name, '\0', kLumpNameSize));
    return {name, nul != nullptr ? static_cast<std::size_t>(nul - name) : kLumpNameSize};
}

// A map marker is recognised as WAD editors do: its name, and a first map
// lump right after it.
bool IsMapMarker(std::string_view name, std::string_view next) {
    return HasMapName(name) && (next == "THINGS" || next == "TEXTMAP");
}

// The namespaces between start and end markers ("S_START" or "SS_START" to
// "S_END" or "SS_END"): the folder a tree shows their lumps in.
struct Namespace {
    char letter;
    std::string_view folder;
};
constexpr std::array<Namespace, 3> kNamespaces = {
    {{'S', "sprites/"}, {'F', "flats/"}, {'P', "patches/"}}};

// The namespace a marker starts (`start`) or ends, or nullptr.
const Namespace* NamespaceMarker(std::string_view name, std::string_view suffix) {
    if (name.size() < suffix.size() + 1 || name.substr(name.size() - suffix.size()) != suffix) {
        return nullptr;
    }
    const std::string_view letters = name.substr(0, name.size() - suffix.size());
    for (const Namespace& space : kNamespaces) {
        if (letters.size() <= 2 && std::all_of(letters.begin(), letters.end(),
                                               [&](char c) { return c == space.letter; })) {
            return &space;
        }
    }
    return nullptr;
}

} // namespace

bool HasMapName(std::string_view name) {
    if (name.size() >= 5 && name.substr(0, 3) == "MAP") {
        return std::all_of(name.begin() + 3, name.end(), IsDigit);
    }
    return name.size() == 4 && name[0] == 'E' && IsDigit(name[1]) && name[2] == 'M' &&
           IsDigit(name[3]);
}

bool IsMapLump(std::string_view name) {
    static constexpr std::array<std::string_view, 18> kMapLumps = {
        "THINGS",  "LINEDEFS", "SIDEDEFS", "VERTEXES", "SEGS",     "SSECTORS",
        "NODES",   "SECTORS",  "REJECT",   "BLOCKMAP", "BEHAVIOR", "SCRIPTS",
        "TEXTMAP", "ZNODES",   "DIALOGUE", "ENDMAP",   "LEAFS",    "LIGHTS"};
    return std::find(kMapLumps.begin(), kMapLumps.end(), name) != kMapLumps.end();
}

DirectoryWalk VisitDirectory(ByteSource& source, const EntryVisitor& visit, std::uint64_t limit) {
    std::array<unsigned char, kHeaderSize> header{};
    if (source.ReadAt(0, header.data(), header.size()) != header.size()) {
        return {};
    }
    const std::uint32_t count = LoadU32LE(header.data() + 4);
    const std::uint32_t directoryOffset = LoadU32LE(header.data() + 8);
    if (!FitsWithin(directoryOffset, 0, source.Size())) {
        return {};
    }

    // Each record is read one ahead of its visit: whether a lump is a map
    // marker depends on the lump after it.
    SequentialReader reader(source, directoryOffset);
    Record record{};
    Record next{};
    bool haveNext = count > 0 && limit > 0 && reader.Read(next.data(), next.size());
    std::string mapFolder;             // "MAP01/" while inside a map's lumps
    const Namespace* inside = nullptr; // the namespace between its markers
    std::uint64_t visited = 0;
    for (; haveNext && visited < count && visited < limit; ++visited) {
        std::swap(record, next);
        haveNext =
            visited + 1 < count && visited + 1 < limit && reader.Read(next.data(), next.size());
        const std::string_view name = LumpName(record);
        const std::string_view following = haveNext ? LumpName(next) : std::string_view();

        EntryView entry;
        entry.name = name;
        if (inside != nullptr) {
            if (NamespaceMarker(name, "_END") == inside) {
                inside = nullptr;
            } else {
                entry.folder = inside->folder;
            }
        } else if (const Namespace* started = NamespaceMarker(name, "_START")) {
            inside = started;
            mapFolder.clear();
        } else if (IsMapMarker(name, following)) {
            mapFolder.assign(name).push_back('/');
        } else if (!mapFolder.empty() && IsMapLump(name)) {
            entry.folder = mapFolder;
        } else {
            mapFolder.clear();
        }
        entry.offset = LoadU32LE(record.data());
        entry.size = LoadU32LE(record.data() + 4);
        entry.compressedSize = entry.size;
        entry.content = EntryContent::InPackage(entry.offset, entry.size);
        visit(entry);
    }
    return DirectoryWalk::Of(visited, PackageKind::Wad);
}

} // namespace Kestrune::Wad
