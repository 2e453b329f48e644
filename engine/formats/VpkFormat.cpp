#include "VpkFormat.h"

#include "Bounds.h"
#include "ByteOrder.h"
#include "Detect.h"

#include <array>
#include <cstdio>
#include <optional>
#include <string_view>

namespace Kestrune::Vpk {
namespace {

struct Layout {
    std::uint64_t treeStart = 0;
    std::uint64_t treeEnd = 0; // where data kept in the directory file begins
};

// Every entry's name repeats its directory and extension strings, so a tree
// of one long directory string and many one-letter files would give names
// far larger than itself, and a listing held in memory with them. A tree
// whose names add up to more than this many times its own size (the smallest
// trees excepted) is taken as malformed; a packer's trees, whose names share
// short directories, stay far below it.
constexpr std::uint64_t kNameBytesPerTreeByte = 16;
constexpr std::uint64_t kNameBytesAlwaysAllowed = 64 * 1024;

std::optional<Layout> ReadHeader(ByteSource& source) {
    std::array<unsigned char, kHeaderSizeV1> header{};
    if (source.ReadAt(0, header.data(), header.size()) != header.size() ||
        LoadU32LE(header.data()) != kVpkSignature) {
        return std::nullopt;
    }
    const std::uint32_t version = LoadU32LE(header.data() + 4);
    const std::uint32_t treeSize = LoadU32LE(header.data() + 8);
    if (version != 1 && version != 2) {
        return std::nullopt;
    }
    const std::uint64_t headerSize = version == 2 ? kHeaderSizeV2 : kHeaderSizeV1;
    if (!FitsWithin(headerSize, treeSize, source.Size())) {
        return std::nullopt;
    }
    return Layout{headerSize, headerSize + treeSize};
}

// Walks the whole tree, counting its entries in `count`. With `visit`, hands
// over at most `limit` entries and stops there; without, only checks the
// tree. False when the tree is malformed: a string or record running past its
// end, a bad terminator.
bool Walk(ByteSource& source, const Layout& layout, const EntryVisitor* visit, std::uint64_t limit,
          std::uint64_t& count) {
    SequentialReader reader(source, layout.treeStart, layout.treeEnd);
    std::string spill;
    std::string extension;
    std::string path;
    std::string name;
    std::string_view text;
    count = 0;
    const std::uint64_t nameBudget =
        (layout.treeEnd - layout.treeStart) * kNameBytesPerTreeByte + kNameBytesAlwaysAllowed;
    std::uint64_t nameBytes = 0;
    for (;;) {
        if (!reader.ReadCString(text, spill)) {
            return false;
        }
        if (text.empty()) {
            return true;
        }
        extension.assign(text);
        for (;;) {
            if (!reader.ReadCString(text, spill)) {
                return false;
            }
            if (text.empty()) {
                break;
            }
            path.assign(text);
            for (;;) {
                if (!reader.ReadCString(text, spill)) {
                    return false;
                }
                if (text.empty()) {
                    break;
                }
                // "path/file.ext"; a single space means no directory or no
                // extension.
                nameBytes += (path != " " ? path.size() + 1 : 0) + text.size() +
                             (extension != " " ? extension.size() + 1 : 0);
                if (nameBytes > nameBudget) {
                    return false;
                }
                if (visit != nullptr) {
                    name.clear();
                    if (path != " ") {
                        name.append(path).push_back('/');
                    }
                    name.append(text);
                    if (extension != " ") {
                        name.append(".").append(extension);
                    }
                }
                std::array<unsigned char, kRecordSize> record{};
                if (!reader.Read(record.data(), record.size()) ||
                    LoadU16LE(record.data() + 16) != kTerminator) {
                    return false;
                }
                const std::uint64_t preloadAt = reader.Position();
                const std::uint16_t preload = LoadU16LE(record.data() + 4);
                if (!reader.Skip(preload)) {
                    return false;
                }
                ++count;
                if (visit == nullptr) {
                    continue;
                }
                const std::uint16_t archive = LoadU16LE(record.data() + 6);
                const std::uint64_t offset = LoadU32LE(record.data() + 8);
                const std::uint64_t length = LoadU32LE(record.data() + 12);
                const bool inDirectoryFile = archive == kInDirectoryFile;
                const std::uint64_t dataAt = inDirectoryFile ? layout.treeEnd + offset : offset;

                EntryView entry;
                entry.name = name;
                entry.size = std::uint64_t{preload} + length;
                entry.compressedSize = entry.size;
                // Where the entry's data begins in the file that holds it;
                // the preload bytes' place when they are all there is.
                entry.offset = length == 0 ? preloadAt : dataAt;
                if (preload > 0) {
                    entry.content.Append({kPackageFile, preloadAt, preload});
                }
                if (length > 0) {
                    entry.content.Append(
                        {inDirectoryFile ? kPackageFile : archive, dataAt, length});
                }
                entry.content.crc32 = LoadU32LE(record.data());
                (*visit)(entry);
                if (count == limit) {
                    return true;
                }
            }
        }
    }
}

} // namespace

DirectoryWalk VisitTree(ByteSource& source, const EntryVisitor& visit, std::uint64_t limit) {
    const auto layout = ReadHeader(source);
    std::uint64_t count = 0;
    if (!layout || !Walk(source, *layout, nullptr, 0, count)) {
        return {};
    }
    if (limit == 0 || count == 0) {
        return DirectoryWalk::Of(0, PackageKind::Vpk);
    }
    // Should the file change between the two walks, what was handed over
    // stands.
    Walk(source, *layout, &visit, limit, count);
    return DirectoryWalk::Of(count, PackageKind::Vpk);
}

std::string PartPath(const std::string& directoryPath, std::uint32_t part) {
    std::string_view stem = directoryPath;
    for (const std::string_view suffix : {"_dir.vpk", ".vpk"}) {
        if (stem.ends_with(suffix)) {
            stem.remove_suffix(suffix.size());
            break;
        }
    }
    char number[16];
    std::snprintf(number, sizeof number, "_%03u.vpk", static_cast<unsigned>(part));
    return std::string(stem) + number;
}

std::string DirectoryOf(std::string_view fileName) {
    constexpr std::string_view kSuffix = ".vpk";
    constexpr std::size_t kDigits = 3;
    if (fileName.size() < kDigits + 1 + kSuffix.size() + 1 || !fileName.ends_with(kSuffix)) {
        return {};
    }
    const std::string_view stem = fileName.substr(0, fileName.size() - kSuffix.size());
    const std::string_view digits = stem.substr(stem.size() - kDigits);
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return {};
        }
    }
    if (stem[stem.size() - kDigits - 1] != '_') {
        return {};
    }
    return std::string(stem.substr(0, stem.size() - kDigits)) + "dir.vpk";
}

} // namespace Kestrune::Vpk
