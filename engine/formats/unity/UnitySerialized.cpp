#include "UnitySerialized.h"

#include "Bounds.h"
#include "PackageFiles.h"
#include "UnityLayouts.h"
#include "UnitySplit.h"

#include <algorithm>
#include <array>
#include <mutex>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace Kestrune::Unity {
namespace {

constexpr std::uint32_t kMaxFormat = 50;
constexpr std::uint32_t kFirstRead = 9;
constexpr std::uint32_t kLastRead = 22;
constexpr std::size_t kVersionWindow = 64;
// A listing reads the file up to this much into memory, for its objects'
// names; objects beyond it are listed by path ID.
constexpr std::uint64_t kListReadCap = 64u << 20;
// The file of a player's data folder that holds its project-wide managers.
constexpr std::string_view kManagersFile = "globalgamemanagers";

std::uint64_t Big(const unsigned char* p, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        value = value << 8 | p[i];
    }
    return value;
}

bool AllZero(const unsigned char* p, std::size_t length) {
    return std::all_of(p, p + length, [](unsigned char b) { return b == 0; });
}

// An engine version as Unity writes it: digits.digits.digits and a release
// suffix of letters and digits ("f1", "p3", "b12", "f3c1"); empty or "0.0.0"
// when stripped.
bool LooksLikeVersion(std::string_view text) {
    std::size_t at = 0;
    for (int part = 0; part < 3; ++part) {
        const std::size_t start = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            ++at;
        }
        if (at == start || (part < 2 && (at >= text.size() || text[at++] != '.'))) {
            return text.empty();
        }
    }
    if (at == text.size()) {
        return true;
    }
    if (text[at] < 'a' || text[at] > 'z') {
        return false;
    }
    return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(at), text.end(),
                       [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); });
}

struct Header {
    std::uint32_t format = 0;
    bool stripped = false; ///< states "0.0.0" (or "") for its version
};

std::optional<Header> CheckHeader(ByteSource& source) {
    const std::uint64_t n = source.Size();
    std::array<unsigned char, 48> head{};
    if (n < 20 || source.ReadAt(0, head.data(), std::min<std::uint64_t>(n, 48)) <
                      std::min<std::uint64_t>(n, 48)) {
        return std::nullopt;
    }
    Header header;
    header.format = static_cast<std::uint32_t>(Big(&head[8], 4));
    const std::uint32_t v = header.format;
    if (v < 1 || v > kMaxFormat) {
        return std::nullopt;
    }
    std::uint64_t metadata = 0, fileSize = 0, dataOffset = 0, metadataAt = 0;
    unsigned endian = 0;
    if (v >= 22) {
        if (n < 48 || !AllZero(&head[0], 8) || !AllZero(&head[12], 4) || !AllZero(&head[41], 7)) {
            return std::nullopt;
        }
        metadata = Big(&head[16], 8);
        fileSize = Big(&head[24], 8);
        dataOffset = Big(&head[32], 8);
        endian = head[40];
        metadataAt = 48;
    } else {
        metadata = Big(&head[0], 4);
        fileSize = Big(&head[4], 4);
        dataOffset = Big(&head[12], 4);
        if (v >= 9) {
            endian = head[16];
            if (!AllZero(&head[17], 3)) {
                return std::nullopt;
            }
            metadataAt = 20;
        } else {
            // Before 9 the metadata lies at the end, its first byte the
            // endianness, then (7 on) the engine version.
            if (metadata > fileSize || fileSize != n) {
                return std::nullopt;
            }
            metadataAt = fileSize - metadata;
            unsigned char byte = 0;
            if (source.ReadAt(metadataAt, &byte, 1) != 1) {
                return std::nullopt;
            }
            endian = byte;
            ++metadataAt;
        }
    }
    if (endian > 1 || fileSize != n) {
        return std::nullopt;
    }
    if (v >= 9 && (!FitsWithin(metadataAt, metadata, dataOffset) || dataOffset > fileSize)) {
        return std::nullopt;
    }
    if (v < 7) {
        return header;
    }
    std::array<char, kVersionWindow + 1> text{};
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(text.size(), n - std::min(n, metadataAt)));
    const std::size_t got =
        source.ReadAt(metadataAt, reinterpret_cast<unsigned char*>(text.data()), want);
    const std::string_view window(text.data(), got);
    const std::size_t nul = window.find('\0');
    if (nul == std::string_view::npos || !LooksLikeVersion(window.substr(0, nul))) {
        return std::nullopt;
    }
    header.stripped = IsStrippedVersion(window.substr(0, nul));
    return header;
}

std::string BaseName(const std::string& path) {
#ifdef _WIN32
    const std::size_t slash = path.find_last_of("/\\");
#else
    const std::size_t slash = path.rfind('/');
#endif
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

bool LooksStandaloneSerialized(ByteSource& source) {
    return CheckHeader(source).has_value();
}

std::optional<std::uint64_t> StatedFileSize(ByteSource& source) {
    std::array<unsigned char, 48> head{};
    const std::size_t got =
        source.ReadAt(0, head.data(), std::min<std::uint64_t>(48, source.Size()));
    if (got < 20) {
        return std::nullopt;
    }
    const auto v = static_cast<std::uint32_t>(Big(&head[8], 4));
    if (v >= 22 && v <= kMaxFormat) {
        if (got < 48 || !AllZero(&head[0], 8) || !AllZero(&head[12], 4) || !AllZero(&head[41], 7) ||
            head[40] > 1) {
            return std::nullopt;
        }
        return Big(&head[24], 8);
    }
    if (v >= 9 && v < 22 && AllZero(&head[17], 3) && head[16] <= 1) {
        return Big(&head[4], 4);
    }
    return std::nullopt;
}

std::string StreamPartPath(const std::string& packagePath, std::uint32_t part) {
    // A file read from its split parts has the streams of its joined name.
    const std::string joined = SplitJoinedName(packagePath);
    const std::string& path = joined.empty() ? packagePath : joined;
    if (part == kStreamPart) {
        return path + ".resS";
    }
    std::string stem = path;
    if (BaseName(stem).ends_with(".assets")) {
        stem.resize(stem.size() - 7);
    }
    return stem + ".resource";
}

std::string ObjectEntryName(const SerializedObject& object) {
    std::string name =
        object.className.empty() ? "class " + std::to_string(object.classId) : object.className;
    name += '/';
    name += object.name.empty() ? "#" + std::to_string(object.pathId) : object.name;
    return name;
}

DirectoryWalk VisitSerializedFile(ByteSource& source, const EntryVisitor& visit,
                                  std::uint64_t limit, const ReadOptions& options) {
    const auto header = CheckHeader(source);
    if (!header) {
        return {};
    }
    DirectoryWalk walk = DirectoryWalk::Of(0, PackageKind::UnitySerialized);
    if (header->format < kFirstRead || header->format > kLastRead) {
        walk.refusal = "Unity serialized file of format " + std::to_string(header->format) +
                       ", which kestrune does not read";
        return walk;
    }
    const std::uint64_t size = source.Size();
    std::vector<unsigned char> bytes(static_cast<std::size_t>(std::min(size, kListReadCap)));
    if (source.ReadAt(0, bytes.data(), bytes.size()) != bytes.size()) {
        walk.refusal = "the file shrank while it was read";
        return walk;
    }
    const SerializedFileListing listing =
        ReadSerializedFile(bytes, size, {}, options.unityVersion, true);
    if (listing.objects.empty() && !listing.note.empty()) {
        walk.refusal = "damaged Unity serialized file: " + listing.note;
        return walk;
    }
    if (!listing.note.empty()) {
        walk.notes.push_back(listing.note);
    }
    walk.properties.emplace_back("unity_version", listing.unityVersion);
    for (const SerializedObject& object : listing.objects) {
        if (walk.visited >= limit) {
            break;
        }
        const std::string name = ObjectEntryName(object);
        EntryView view;
        view.name = name;
        view.offset = object.offset;
        view.size = object.size;
        view.compressedSize = object.size;
        view.content = EntryContent::InPackage(object.offset, object.size);
        if (!FitsWithin(object.offset, object.size, size)) {
            view.damage = "the object lies outside the serialized file";
        }
        visit(view);
        ++walk.visited;
    }
    return walk;
}

ManagerNames ManagerNamesBeside(const std::string& packagePath, std::string_view strippedVersion) {
    const std::string fileName = BaseName(packagePath);
    const std::string managers =
        packagePath.substr(0, packagePath.size() - fileName.size()) + std::string(kManagersFile);
    const auto source = FileSource::Open(managers);
    if (fileName == kManagersFile || !source) {
        return {};
    }
    // A command asks for one folder's names once for each of its files, and
    // more than once for each: they are read once, while the file keeps its
    // path and size.
    static std::mutex lock;
    static std::tuple<std::string, std::string, std::uint64_t> readFrom;
    static ManagerNames read;
    const std::uint64_t size = source->Size();
    std::lock_guard<std::mutex> hold(lock);
    auto key = std::make_tuple(managers, std::string(strippedVersion), size);
    if (key != readFrom) {
        std::vector<unsigned char> bytes(static_cast<std::size_t>(std::min(size, kListReadCap)));
        bytes.resize(source->ReadAt(0, bytes.data(), bytes.size()));
        const SerializedFile file = ParseSerializedFile(bytes, size, {}, strippedVersion, true);
        read = ReadManagerNames(file);
        // Only a file that passes as a serialized file lends its version.
        if (CheckHeader(*source) && !IsStrippedVersion(file.listing.unityVersion)) {
            read.unityVersion = file.listing.unityVersion;
        }
        readFrom = std::move(key);
    }
    return read;
}

std::string VersionBeside(const std::string& packagePath, ByteSource& source) {
    const auto header = CheckHeader(source);
    if (!header || !header->stripped) {
        return {};
    }
    return ManagerNamesBeside(packagePath, {}).unityVersion;
}

void NameByContainer(SerializedFileListing& listing,
                     const std::vector<std::pair<std::int64_t, std::string>>& names) {
    if (names.empty()) {
        return;
    }
    std::unordered_map<std::int64_t, const std::string*> longest;
    for (const auto& [pathId, key] : names) {
        const std::string*& kept = longest[pathId];
        // Nested Resources folders give one object two keys: the longer
        // is its whole path.
        if (kept == nullptr || key.size() > kept->size()) {
            kept = &key;
        }
    }
    for (SerializedObject& object : listing.objects) {
        if (const auto found = longest.find(object.pathId);
            found != longest.end() && !object.containerPath) {
            object.containerPath = *found->second;
        }
    }
}

void AnnotateStandalone(const std::string& path, const ReadOptions& options, DirectoryWalk& walk) {
    const std::string fileName = BaseName(path);
    constexpr std::string_view kLevel = "level";
    if (walk.kind != PackageKind::UnitySerialized || !fileName.starts_with(kLevel) ||
        fileName.size() == kLevel.size() || fileName.size() > kLevel.size() + 6 ||
        !std::all_of(fileName.begin() + kLevel.size(), fileName.end(),
                     [](char c) { return c >= '0' && c <= '9'; })) {
        return;
    }
    const std::size_t scene = std::stoul(fileName.substr(kLevel.size()));
    const ManagerNames names = ManagerNamesBeside(path, options.unityVersion);
    if (scene < names.scenes.size() && !names.scenes[scene].empty()) {
        walk.properties.emplace_back("scene_path", names.scenes[scene]);
    }
}

Bundle StandaloneAsBundle(PackageFiles& files) {
    Bundle bundle;
    bundle.walk = DirectoryWalk::Of(0, PackageKind::UnitySerialized);
    const std::string streamName = files.PartName(kStreamPart);
    const std::string fileName = streamName.substr(0, streamName.size() - 5); // ".resS"
    const std::string resourceName = files.PartName(kResourcePart);
    // The names first, so that the nodes' views into them stay put.
    const std::string names = fileName + streamName + resourceName;
    bundle.directory.assign(names.begin(), names.end());
    const auto view = [&](std::size_t at, std::size_t length) {
        return std::string_view(reinterpret_cast<const char*>(bundle.directory.data()) + at,
                                length);
    };
    BundleNode& self = bundle.nodes.emplace_back();
    self.path = view(0, fileName.size());
    self.size = files.Package().Size();
    self.flaggedSerialized = true;
    self.content = EntryContent::InPackage(0, self.size);
    std::size_t at = fileName.size();
    for (const auto& [part, name] :
         {std::pair{kStreamPart, &streamName}, std::pair{kResourcePart, &resourceName}}) {
        if (ByteSource* stream = files.Get(part)) {
            BundleNode& node = bundle.nodes.emplace_back();
            node.path = view(at, name->size());
            node.size = stream->Size();
            node.content.runs[0] = DataRun{part, 0, node.size};
            node.content.runCount = 1;
        }
        at += name->size();
    }
    ManagerNames managers = ManagerNamesBeside(files.Path(), files.Options().unityVersion);
    // A player build strips the version from every file but its managers:
    // the folder's files are read as the version these state, unless the
    // user gave one.
    bundle.engineVersion = std::move(managers.unityVersion);
    for (ManagerNames::Resource& resource : managers.resources) {
        if (resource.file == fileName) {
            bundle.containerNames.emplace_back(resource.pathId, std::move(resource.key));
        }
    }
    return bundle;
}

} // namespace Kestrune::Unity
