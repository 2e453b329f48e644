// The operations that look at a package without writing anything: checking
// every entry, the listing with the names an extraction gives, and one
// entry's content handed to the caller.

#include "Bounds.h"
#include "Detect.h"
#include "EntryData.h"
#include "Formats.h"
#include "KestruneEngine.h"
#include "OutputNames.h"
#include "PackageFiles.h"
#include "SharedBytes.h"

#include <algorithm>

namespace Kestrune {
namespace {

class WriterSink final : public EntrySink {
public:
    explicit WriterSink(const ContentWriter& write) : write_(write) {}
    bool Write(const unsigned char* data, std::size_t length) override {
        return write_(data, length);
    }
    std::string FailureText() const override { return "write failed"; }

private:
    const ContentWriter& write_;
};

std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) {
    return b > UINT64_MAX - a ? UINT64_MAX : a + b;
}

} // namespace

PackageCheck KestruneEngine::TestPackage(const std::string& archive, const DamageCallback& damaged,
                                         const ReadOptions& options) {
    PackageCheck check;
    const auto files = OpenPackageFiles(archive, options);
    if (!files) {
        return check;
    }
    check.opened = true;
    ByteSource& package = files->Package();

    // First pass: where every entry's bytes lie, clipped to the bytes that
    // really exist, for the sharing check. Part files are opened as entries
    // name them; a missing part holds nothing.
    std::vector<StoredRun> runs;
    // Decoded pieces are counted apart: entries of a Unity bundle share their
    // blocks by design, which is no overlap to warn of, but the blocks' bytes
    // are stored bytes all the same.
    std::vector<StoredRun> pieceRuns;
    const DirectoryWalk walk = WalkEntries(
        package,
        [&](const EntryView& view) {
            const EntryContent& content = view.content;
            if (content.encoding == ContentEncoding::Pieces && content.shared &&
                FitsWithin(content.firstPiece, content.pieceCount, content.shared->pieces.size())) {
                for (const Piece& piece : content.Pieces()) {
                    const ByteSource* file = files->Get(piece.file);
                    const std::uint64_t length =
                        file != nullptr
                            ? BytesWithin(piece.offset, piece.storedLength, file->Size())
                            : 0;
                    if (length > 0) {
                        pieceRuns.push_back(
                            {piece.offset, piece.offset + length, check.entryCount, piece.file});
                    }
                }
            }
            for (std::size_t i = 0; i < view.content.runCount; ++i) {
                const DataRun& run = view.content.runs[i];
                const ByteSource* file = files->Get(run.file);
                const std::uint64_t length =
                    file != nullptr ? BytesWithin(run.offset, run.length, file->Size()) : 0;
                if (length == 0) {
                    continue;
                }
                runs.push_back({run.offset, run.offset + length, check.entryCount, run.file});
            }
            ++check.entryCount;
        },
        UINT64_MAX, options);
    check.kind = walk.kind;
    const SharedBytes sharing = FindSharedBytes(runs, check.entryCount);
    std::vector<StoredRun>().swap(runs);
    check.sharingEntries = sharing.sharingEntries;
    check.bytesStored = sharing.distinctBytes;
    if (!pieceRuns.empty()) {
        check.bytesStored += FindSharedBytes(pieceRuns, check.entryCount).distinctBytes;
        std::vector<StoredRun>().swap(pieceRuns);
    }

    // Second pass: every entry read as an extraction reads it, in listing
    // order, so that damaged entries are reported as they are met.
    EntryReader reader(*files);
    ArchiveEntry entry;
    std::uint64_t index = 0;
    ReadOptions checking = options;
    checking.checkEntryHeaders = true; // a check compares what packages keep twice
    const DirectoryWalk checked = WalkEntries(
        package,
        [&](const EntryView& view) {
            std::optional<std::string> reason;
            // An entry without a safe file name is not written at all.
            if (FlattenEntryName(view.name, HostNameRules()).empty()) {
                reason = std::string(kNoSafeNameReason);
            } else {
                AssignEntry(entry, view);
                CountingSink sink;
                if (auto failure = reader.Read(entry, sink)) {
                    reason = std::move(failure->reason);
                }
                check.bytesExtracted = SaturatingAdd(check.bytesExtracted, sink.bytes);
                // Extraction writes such an entry; a check calls it damaged.
                if (!reason && !view.damage.empty()) {
                    reason = std::string(view.damage);
                }
            }
            if (reason) {
                ++check.damagedCount;
                damaged(DamagedEntry{index, view.name, std::move(*reason)});
            }
            ++index;
        },
        check.entryCount, checking);
    // What either pass found (the second is cut at the first's count).
    check.packageDamage = walk.damage;
    for (const std::string& reason : checked.damage) {
        if (std::find(walk.damage.begin(), walk.damage.end(), reason) == walk.damage.end()) {
            check.packageDamage.push_back(reason);
        }
    }
    return check;
}

bool KestruneEngine::VisitEntriesWithOutputNames(const std::string& archive,
                                                 const std::function<void(PackageKind)>& begin,
                                                 const NamedEntryVisitor& each,
                                                 const ReadOptions& options, OutputLayout layout) {
    const auto source = OpenPackageSource(archive);
    if (!source) {
        return false;
    }
    const NameRules rules = HostNameRules();
    if (layout == OutputLayout::Tree) {
        // Each path depends on its directory's other names: all are held.
        std::vector<ArchiveEntry> entries;
        const DirectoryWalk walk = WalkEntries(
            *source,
            [&](const EntryView& view) {
                ArchiveEntry& entry = entries.emplace_back();
                entry.name = view.name;
                entry.folder = view.folder;
            },
            UINT64_MAX, options);
        const TreePlacement tree = PlaceInTree(entries, rules);
        std::vector<ArchiveEntry>().swap(entries);
        begin(walk.kind);
        std::size_t index = 0;
        std::optional<std::string> path;
        Kestrune::VisitEntries(
            *source,
            [&](const EntryView& view) {
                if (index < tree.names.size()) {
                    path.reset();
                    if (const auto& name = tree.names[index]) {
                        path = tree.directories[tree.directoryOf[index]].path + *name;
                    }
                    each(view, path);
                }
                ++index;
            },
            walk.visited, options);
        return true;
    }
    // Output names depend on every name before and after an entry. Most
    // packages repeat no name, and then every entry's file name is its own
    // flat name: a first pass keeps only a 64-bit hash of each name's key,
    // and when no two hashes are equal no two keys are, so nothing needs to
    // be held while the listing streams. Only a package with a repeat (or a
    // hash collision) has its names gathered and assigned as ExtractAll does.
    std::vector<std::uint64_t> keys;
    const DirectoryWalk walk = WalkEntries(
        *source,
        [&](const EntryView& view) {
            const std::string flat = FlattenEntryName(view.name, rules);
            if (!flat.empty()) {
                keys.push_back(
                    std::hash<std::string>{}(NameKey(flat, rules, LetterCase::Distinct)));
            }
        },
        UINT64_MAX, options);
    std::sort(keys.begin(), keys.end());
    const bool repeats = std::adjacent_find(keys.begin(), keys.end()) != keys.end();
    std::vector<std::uint64_t>().swap(keys);

    std::vector<std::optional<std::string>> names;
    if (repeats) {
        std::vector<ArchiveEntry> entries;
        entries.reserve(static_cast<std::size_t>(walk.visited));
        Kestrune::VisitEntries(
            *source, [&](const EntryView& view) { entries.emplace_back().name = view.name; },
            walk.visited, options);
        names = AssignOutputNames(entries, rules);
    }
    begin(walk.kind);
    std::size_t index = 0;
    std::optional<std::string> plain;
    Kestrune::VisitEntries(
        *source,
        [&](const EntryView& view) {
            if (repeats) {
                if (index < names.size()) {
                    each(view, names[index]);
                    names[index].reset();
                }
            } else {
                std::string flat = FlattenEntryName(view.name, rules);
                plain = flat.empty() ? std::nullopt : std::optional<std::string>(std::move(flat));
                each(view, plain);
            }
            ++index;
        },
        walk.visited, options);
    return true;
}

EntryCopy KestruneEngine::CopyEntryContent(const std::string& archive, const std::string& entryName,
                                           const ContentWriter& write, const ReadOptions& options) {
    EntryCopy copy;
    const auto files = OpenPackageFiles(archive, options);
    if (!files) {
        return copy;
    }
    copy.packageOpened = true;
    // The first entry of that name, as ExtractFile finds it; the rest of the
    // directory is walked past without being held.
    ArchiveEntry entry;
    Kestrune::VisitEntries(
        files->Package(),
        [&](const EntryView& view) {
            if (!copy.found && view.name == entryName) {
                AssignEntry(entry, view);
                copy.found = true;
            }
        },
        UINT64_MAX, options);
    if (!copy.found) {
        return copy;
    }
    EntryReader reader(*files);
    WriterSink sink(write);
    if (auto failure = reader.Read(entry, sink)) {
        copy.failure = std::move(failure->reason);
        copy.writerFailed = failure->inSink;
    }
    return copy;
}

} // namespace Kestrune
