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
#include "UnityWebData.h"

#include <algorithm>
#include <map>
#include <optional>

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
    SerializedFileListing listing = ReadSerializedFile(
        bytes, size, names,
        options.unityVersion.empty() ? beside.engineVersion : options.unityVersion, true);
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

namespace {

// The serialized files among `bundle`'s nodes, read through the entry
// reader; node i belongs to entry entryOf(i) of the listing.
template <typename EntryOf>
void ListNodes(PackageFiles& files, const Bundle& bundle, const EntryOf& entryOf, bool selectNodes,
               const ObjectListingVisitor& each, const ReadOptions& options) {
    const std::string stripped = !options.unityVersion.empty()             ? options.unityVersion
                                 : IsStrippedVersion(bundle.engineVersion) ? std::string()
                                                                           : bundle.engineVersion;
    std::vector<std::pair<std::string_view, std::uint64_t>> names;
    names.reserve(bundle.nodes.size());
    for (const BundleNode& node : bundle.nodes) {
        names.emplace_back(node.path, node.size);
    }
    EntryReader reader(files);
    for (std::size_t n = 0; n < bundle.nodes.size(); ++n) {
        const BundleNode& node = bundle.nodes[n];
        if (selectNodes && options.select && !options.select(node.path)) {
            continue;
        }
        const std::optional<std::uint64_t> entryIndex = entryOf(n);
        if (!entryIndex || (node.flagsKnown && !node.flaggedSerialized)) {
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
        each(*entryIndex, listing);
    }
}

} // namespace

void ListBundleObjects(PackageFiles& files, const ObjectListingVisitor& each,
                       const ReadOptions& options) {
    const Bundle bundle = ReadBundle(files.Package(), options);
    // Counted among the nodes the selection takes.
    std::uint64_t index = 0;
    std::vector<std::uint64_t> indices;
    for (const BundleNode& node : bundle.nodes) {
        indices.push_back(!options.select || options.select(node.path) ? index++ : UINT64_MAX);
    }
    ListNodes(
        files, bundle, [&](std::size_t n) { return std::optional<std::uint64_t>(indices[n]); },
        true, each, options);
}

void ListWebDataObjects(PackageFiles& files, const ObjectListingVisitor& each,
                        const ReadOptions& options) {
    std::vector<std::uint64_t> entryOf;
    const Bundle bundle = WebDataAsBundle(files, &entryOf);
    // Entries counted among those the selection takes, as the listing
    // counts them; the files of a bundle inside are listed together under
    // the bundle's entry.
    std::vector<std::optional<std::uint64_t>> taken;
    {
        std::uint64_t index = 0;
        std::uint64_t walked = 0;
        VisitWebData(
            files.Package(),
            [&](const EntryView& view) {
                taken.resize(walked + 1);
                if (!options.select || options.select(view.name)) {
                    taken[walked] = index++;
                }
                ++walked;
            },
            UINT64_MAX, options, nullptr);
    }
    std::map<std::uint64_t, SerializedFileListing> merged;
    ListNodes(
        files, bundle,
        [&](std::size_t n) { return entryOf[n] < taken.size() ? taken[entryOf[n]] : std::nullopt; },
        false,
        [&](std::uint64_t entryIndex, const SerializedFileListing& listing) {
            auto [at, fresh] = merged.try_emplace(entryIndex, listing);
            if (!fresh) {
                for (const SerializedObject& object : listing.objects) {
                    at->second.objects.push_back(object);
                }
            }
        },
        options);
    for (const auto& [entryIndex, listing] : merged) {
        each(entryIndex, listing);
    }
}

} // namespace Kestrune::Unity
