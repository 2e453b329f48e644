// The objects of a Unity bundle's serialized files, for the engine's
// ListObjects: each serialized file is read through the entry reader into
// memory (it is metadata, and its objects' names), at most kObjectReadCap
// bytes of it.

#include "EntryData.h"
#include "PackageFiles.h"
#include "UnityBundle.h"
#include "UnityExport.h"
#include "UnityLayouts.h"
#include "UnitySerialized.h"

#include <algorithm>

namespace Kestrune::Unity {
namespace {

constexpr std::size_t kObjectReadCap = 64u << 20;

} // namespace

void ListStandaloneObjects(PackageFiles& files, const ObjectListingVisitor& each,
                           const ReadOptions& options) {
    const Bundle beside = StandaloneAsBundle(files);
    std::vector<std::pair<std::string_view, std::uint64_t>> names;
    for (const BundleNode& node : beside.nodes) {
        names.emplace_back(node.path, node.size);
    }
    const std::uint64_t size = files.Package().Size();
    std::vector<unsigned char> bytes(
        static_cast<std::size_t>(std::min<std::uint64_t>(size, kObjectReadCap)));
    bytes.resize(files.Package().ReadAt(0, bytes.data(), bytes.size()));
    SerializedFileListing listing =
        ReadSerializedFile(bytes, size, names, options.unityVersion, true);
    NameByContainer(listing, beside.containerNames);
    std::uint64_t index = 0;
    for (SerializedObject& object : listing.objects) {
        if (options.select && !options.select(ObjectEntryName(object))) {
            continue;
        }
        SerializedFileListing one;
        one.version = listing.version;
        one.unityVersion = listing.unityVersion;
        one.layoutVersion = listing.layoutVersion;
        one.objects.push_back(std::move(object));
        each(index++, one);
    }
}

void ListBundleObjects(PackageFiles& files, const ObjectListingVisitor& each,
                       const ReadOptions& options) {
    const Bundle bundle = ReadBundle(files.Package(), options);
    const std::string stripped = !options.unityVersion.empty()             ? options.unityVersion
                                 : IsStrippedVersion(bundle.engineVersion) ? std::string()
                                                                           : bundle.engineVersion;
    std::vector<std::pair<std::string_view, std::uint64_t>> names;
    names.reserve(bundle.nodes.size());
    for (const BundleNode& node : bundle.nodes) {
        names.emplace_back(node.path, node.size);
    }
    EntryReader reader(files);
    std::uint64_t index = 0;
    for (const BundleNode& node : bundle.nodes) {
        if (options.select && !options.select(node.path)) {
            continue;
        }
        const std::uint64_t entryIndex = index++;
        if (node.flagsKnown && !node.flaggedSerialized) {
            continue;
        }
        ArchiveEntry entry;
        entry.name.assign(node.path);
        entry.offset = node.offset;
        entry.size = node.size;
        entry.content = node.content;
        MemorySink sink(
            static_cast<std::size_t>(std::min<std::uint64_t>(node.size, kObjectReadCap)));
        const auto failure = reader.Read(entry, sink);
        if (!node.flagsKnown && !LooksSerialized(sink.bytes, node.size)) {
            continue;
        }
        SerializedFileListing listing = ReadSerializedFile(sink.bytes, node.size, names, stripped);
        if (failure && !failure->inSink) {
            listing.note = "reading it failed: " + failure->reason;
        } else if (failure) {
            listing.note = "only its first 64 MiB are read for its objects";
        }
        each(entryIndex, listing);
    }
}

} // namespace Kestrune::Unity
