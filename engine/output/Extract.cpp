#include "Detect.h"
#include "EntryData.h"
#include "KestruneEngine.h"
#include "OutputFiles.h"
#include "OutputNames.h"
#include "PackageFiles.h"
#include "Platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace Kestrune {
namespace {

// Creating a file costs the system far more than copying a small entry's
// bytes, and most of that cost is not serialised between threads: two
// workers take blocks of consecutive entries in turn, so that each reads the
// package forward. A block ends after this many entries, or once its entries
// hold this many bytes, so that a package of a few hundred large compressed
// entries is decoded on both cores too.
constexpr std::size_t kEntriesPerBlock = 256;
constexpr std::uint64_t kBytesPerBlock = std::uint64_t{8} << 20;

std::string WriteFailed(const Platform::OutputFile& out) {
    return "write failed (" + Platform::ErrorText(out.LastError()) + ")";
}

// An output file as the destination of an entry's content.
class OutputSink final : public EntrySink {
public:
    explicit OutputSink(Platform::OutputFile& out) : out_(out) {}
    bool Write(const unsigned char* data, std::size_t length) override {
        return out_.Write(data, length);
    }
    Platform::OutputFile::CopyStatus CopyFrom(const Platform::InputFile& input,
                                              std::uint64_t offset, std::size_t length,
                                              std::size_t& copied) override {
        return out_.CopyFrom(input, offset, length, copied);
    }
    std::string FailureText() const override { return WriteFailed(out_); }

private:
    Platform::OutputFile& out_;
};

std::string CannotCreate(int error) {
    return "cannot create the file (" + Platform::ErrorText(error) + ")";
}

// Why an output file did not open, or nothing when it did.
std::optional<std::string> OpenFailure(Platform::OutputFile::OpenStatus status,
                                       const Platform::OutputFile& out) {
    switch (status) {
    case Platform::OutputFile::OpenStatus::Opened:
        return std::nullopt;
    case Platform::OutputFile::OpenStatus::IsProtectedFile:
        return "would overwrite the package";
    case Platform::OutputFile::OpenStatus::Exists:
    case Platform::OutputFile::OpenStatus::Failed:
        break;
    }
    return CannotCreate(out.LastError());
}

// Where ExtractAll creates the entries' files, and what it does when a name
// turns out to be taken.
//
// Every file is created exclusively. Nearly always that succeeds, with no
// shared state touched, so the workers never wait for each other. When the
// name is taken and a file of exactly that name was in DIR before the run,
// it is replaced (extracting again into the same DIR gives the same files;
// the package itself and links are refused). Otherwise the directory has
// merged this name with another spelling that the prediction did not
// foresee (Unicode normalisation, 8.3 short names, case rules other than
// ours, a file in DIR under another letter case): the entry takes the next
// free "~N" of its name, one no entry was given by the prediction, tried the
// same way. Inode numbers could not tell either case: exFAT through FUSE
// gives each spelling of one file its own.
class OutputDirectory {
public:
    OutputDirectory(std::string dir, const std::vector<std::optional<std::string>>& names,
                    LetterCase letterCase, const std::string& package,
                    std::span<const Platform::FileId> protect, bool createdNow = false,
                    FolderRunNames* run = nullptr)
        : dir_(std::move(dir)), names_(names), protect_(protect), run_(run) {
        if (run_ != nullptr) {
            // One of a folder's packages: DIR as it was before the folder's
            // first package, less what earlier packages replaced.
            if (!run_->taken) {
                if (auto existing = Platform::ListDirectory(dir_)) {
                    run_->names.insert(std::make_move_iterator(existing->begin()),
                                       std::make_move_iterator(existing->end()));
                }
                run_->taken = true;
            }
            before_ = &run_->names;
        } else if (auto existing = createdNow ? std::nullopt : Platform::ListDirectory(dir_)) {
            // A directory this run has just created holds nothing yet.
            own_.insert(std::make_move_iterator(existing->begin()),
                        std::make_move_iterator(existing->end()));
        }
        if (letterCase == LetterCase::Folded) {
            ProtectPackageSpellings(package);
        }
    }

    // Opens the file for an entry given `name`. `renamed` stays empty when
    // the file got that name and is the name it got otherwise. The reason
    // when no file could be opened.
    std::optional<std::string> Open(const std::string& name, Platform::OutputFile& out,
                                    std::string& renamed) {
        // Spare names are made from the name itself, or from its Windows
        // form once the volume has refused the name. Nothing is copied on
        // the common path, where the first exclusive creation succeeds.
        const std::string* base = &name;
        std::string portable;
        for (unsigned tries = 0;; ++tries) {
            const std::string& current = renamed.empty() ? name : renamed;
            const auto status = out.Create(dir_, current);
            if (status == Platform::OutputFile::OpenStatus::Failed &&
                RefusesName(out.LastError()) && base == &name) {
                // A volume made for Windows (exFAT, FAT, NTFS) refuses
                // characters such as ":" and "?" and bytes that are no
                // UTF-8. The name that Windows would have given is one it
                // takes, kept apart from every other name like a spare one.
                portable = FlattenEntryName(name, NameRules::Windows);
                if (!portable.empty() && portable != name) {
                    base = &portable;
                    renamed = SpareName(portable, true);
                    continue;
                }
            }
            if (status != Platform::OutputFile::OpenStatus::Exists) {
                return OpenFailure(status, out);
            }
            if (before_->contains(current)) {
                if (packageSpellings_.contains(current)) {
                    return OpenFailure(Platform::OutputFile::OpenStatus::IsProtectedFile, out);
                }
                if (run_ != nullptr) {
                    std::lock_guard<std::mutex> hold(spareLock_);
                    replaced_.push_back(current);
                }
                return OpenFailure(out.Replace(dir_, current, protect_), out);
            }
            if (tries == kMaxSpareTries) {
                return CannotCreate(EEXIST);
            }
            renamed = SpareName(*base, false);
        }
    }

    // Makes the subdirectory for a directory of the package given `name`,
    // the way Open makes a file: `renamed` as there; `createdNow` tells
    // whether this run created it. Something in the way that is not a
    // directory of exactly that name from before the run (a file, a
    // symbolic link or junction to anywhere, a spelling the volume merged)
    // is never entered: the directory takes a spare name instead.
    std::optional<std::string> MakeSubdirectory(const std::string& name, std::string& renamed,
                                                bool& createdNow) {
        const std::string* base = &name;
        std::string portable;
        for (unsigned tries = 0;; ++tries) {
            const std::string& current = renamed.empty() ? name : renamed;
            const std::string path = dir_ + "/" + current;
            const int error = Platform::MakeDirectory(path);
            createdNow = error == 0;
            if (createdNow) {
                return std::nullopt;
            }
            if (RefusesName(error) && base == &name) {
                portable = FlattenEntryName(name, NameRules::Windows);
                if (!portable.empty() && portable != name) {
                    base = &portable;
                    renamed = SpareName(portable, true);
                    continue;
                }
            }
            if (error != EEXIST) {
                return CannotCreateDirectory(error);
            }
            if (before_->contains(current) && Platform::IsPlainDirectory(path)) {
                return std::nullopt;
            }
            if (tries == kMaxSpareTries) {
                return CannotCreateDirectory(EEXIST);
            }
            renamed = SpareName(*base, false);
        }
    }

    const std::string& Path() const { return dir_; }

    // Once every file is written: the names a folder's package replaced
    // are no longer DIR's names from before the run, for the packages after
    // it.
    void EndFolderPackage() {
        if (run_ != nullptr) {
            for (const std::string& name : replaced_) {
                run_->names.erase(name);
            }
        }
    }

private:
    static std::string CannotCreateDirectory(int error) {
        return "cannot create the directory (" + Platform::ErrorText(error) + ")";
    }

    // A volume that folds letter case may give each spelling of one file its
    // own identity (exFAT through FUSE does), so the package named on the
    // command line as "OUT/GAME.PAK" is not recognised by identity when an
    // entry's file is to replace "out/game.pak". Every name in DIR that folds
    // like the package's own file name and is that file by
    // IsSameFileBySpelling is refused as the package itself. (A package in
    // DIR under a name no entry has exactly is safe anyway: only names that
    // were in DIR exactly are ever opened without O_EXCL.)
    void ProtectPackageSpellings(const std::string& package) {
        const std::size_t slash =
            package.find_last_of(HostNameRules() == NameRules::Windows ? std::string_view("/\\:")
                                                                       : std::string_view("/"));
        const std::string base = slash == std::string::npos ? package : package.substr(slash + 1);
        const std::string key = FoldLetterCase(base);
        for (const std::string& name : *before_) {
            if (FoldLetterCase(name) == key &&
                Platform::IsSameFileBySpelling(dir_, name, package)) {
                packageSpellings_.insert(name);
            }
        }
    }

    // A directory that merges names we keep apart would, in the worst case,
    // take every spare name as well; an entry gives up after this many.
    static constexpr unsigned kMaxSpareTries = 1000;

    // How file systems answer a name they cannot hold: FAT and NTFS drivers
    // say EINVAL, exFAT through FUSE ENOENT for reserved characters and
    // EILSEQ for bytes that are no UTF-8.
    static bool RefusesName(int error) {
        return error == EINVAL || error == ENOENT || error == EILSEQ;
    }

    // A name for an entry whose own name was taken or refused: `name` itself
    // when `plainFirst` and it is free of every given name, otherwise the
    // next such "~N" of it.
    std::string SpareName(const std::string& name, bool plainFirst) {
        std::lock_guard<std::mutex> hold(spareLock_);
        if (!predictedKnown_) {
            // Spare names are kept apart from every given name folded,
            // whatever DIR does: it has just shown that it merges names we
            // keep apart. Gathered at the first surprise, never before.
            for (const std::optional<std::string>& given : names_) {
                if (given) {
                    predicted_.insert(NameKey(*given, rules_, LetterCase::Folded));
                }
            }
            predictedKnown_ = true;
        }
        if (plainFirst) {
            std::string key = NameKey(name, rules_, LetterCase::Folded);
            if (!predicted_.contains(key) && spareGiven_.insert(std::move(key)).second) {
                return name;
            }
        }
        unsigned& number = nextSpare_.try_emplace(name, 2).first->second;
        for (;;) {
            std::string candidate = WithNumberSuffix(name, number++, rules_);
            std::string key = NameKey(candidate, rules_, LetterCase::Folded);
            if (!predicted_.contains(key) && spareGiven_.insert(std::move(key)).second) {
                return candidate;
            }
        }
    }

    const NameRules rules_ = HostNameRules();
    std::string dir_;
    const std::vector<std::optional<std::string>>& names_; // as AssignOutputNames gave them
    std::span<const Platform::FileId> protect_;
    FolderRunNames* run_;
    std::unordered_set<std::string> own_;                   // exact names in DIR before the run
    const std::unordered_set<std::string>* before_ = &own_; // own_, or the folder's
    std::vector<std::string> replaced_;                     // of the folder's names before the run
    std::unordered_set<std::string> packageSpellings_;      // names in DIR that are the package
    // Touched only when a name was found taken by surprise.
    std::mutex spareLock_;
    bool predictedKnown_ = false;
    std::unordered_set<std::string> predicted_; // folded names AssignOutputNames gave
    std::unordered_map<std::string, unsigned> nextSpare_;
    std::unordered_set<std::string> spareGiven_;
};

// Copies entries out of one open package into files. Owns the copy buffer of
// one worker; `bytesDone` is shared by all workers of one extraction.
class EntryCopier {
public:
    EntryCopier(PackageFiles& package, std::atomic<std::uint64_t>& bytesDone,
                std::function<void()> onStep = {})
        : reader_(package, &bytesDone, std::move(onStep)) {}

    // Writes `entry` to the file `open` opens. Returns the reason when it
    // was not written whole; bytes already written stay, nothing is padded.
    std::optional<std::string> Copy(const ArchiveEntry& entry, const OutputOpener& open) {
        Platform::OutputFile out;
        if (std::optional<std::string> refused = open(out)) {
            return refused;
        }
        OutputSink sink(out);
        auto failure = reader_.Read(entry, sink);
        if (failure && failure->inSink) {
            return std::move(failure->reason);
        }
        if (!out.Close()) {
            return WriteFailed(out);
        }
        if (failure) {
            return std::move(failure->reason);
        }
        return std::nullopt;
    }

private:
    EntryReader reader_;
};

// The names of a folder's package: each entry as if its name began with
// the package's path in the folder, `prefix`, so that the package's files
// lie under that path (a tree) or begin with it (flat). An entry that has
// no safe name of its own has none here either: the prefix must not make a
// file of "..".
void PlaceInFolder(const std::vector<ArchiveEntry>& entries, const std::string& prefix,
                   bool keepTree, LetterCase letterCase, TreePlacement& tree,
                   std::vector<std::optional<std::string>>& flatNames) {
    const NameRules rules = HostNameRules();
    if (!keepTree) {
        flatNames.reserve(entries.size());
        for (const ArchiveEntry& entry : entries) {
            std::string flat = FlattenEntryName(entry.name, rules).empty()
                                   ? std::string()
                                   : FlattenEntryName(prefix + "/" + entry.name, rules);
            flatNames.emplace_back(flat.empty() ? std::nullopt
                                                : std::optional<std::string>(std::move(flat)));
        }
        flatNames = AssignDistinctNames(std::move(flatNames), rules, letterCase);
        return;
    }
    std::vector<ArchiveEntry> placed(entries.size());
    std::vector<bool> unsafe(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string path = entries[i].folder + entries[i].name;
        bool any = false;
        for (std::size_t at = 0; at <= path.size() && !any;) {
            std::size_t end = path.find('/', at);
            end = end == std::string::npos ? path.size() : end;
            const std::string_view part = std::string_view(path).substr(at, end - at);
            any = !part.empty() && part != "." && part != "..";
            at = end + 1;
        }
        unsafe[i] = !any;
        placed[i].folder = prefix + "/" + entries[i].folder;
        placed[i].name = entries[i].name;
    }
    tree = PlaceInTree(placed, rules, letterCase);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (unsafe[i]) {
            tree.names[i].reset();
        }
    }
}

} // namespace

bool KestruneEngine::ExtractFile(const std::string& archive, const std::string& entryName,
                                 const std::string& outPath, const ReadOptions& options) {
    const auto package = OpenPackageFiles(archive, options);
    if (!package) {
        return false;
    }
    std::vector<ArchiveEntry> entries = ReadEntries(package->Package(), options);
    const auto match = std::find_if(entries.begin(), entries.end(),
                                    [&](const ArchiveEntry& e) { return e.name == entryName; });
    if (match == entries.end()) {
        return false;
    }
    entries = {std::move(*match)};
    const std::vector<Platform::FileId> protect = package->Identities(entries);
    std::atomic<std::uint64_t> bytesDone{0};
    EntryCopier copier(*package, bytesDone);
    return !copier
                .Copy(entries.front(),
                      [&](Platform::OutputFile& out) {
                          return OpenFailure(out.Open(outPath, protect), out);
                      })
                .has_value();
}

bool KestruneEngine::ExtractAll(const std::string& archive, const std::string& outDir,
                                ExtractionReport* report, const ProgressCallback& onProgress,
                                const ReadOptions& options, OutputLayout layout,
                                const WrittenCallback& onWritten, const FolderPlace* folder) {
    ExtractionReport local;
    ExtractionReport& result = report != nullptr ? *report : local;
    result = ExtractionReport{};

    // The directory comes first, as users expect it to exist after any run;
    // an existing one is simply used.
    const int makeError = Platform::MakeDirectory(outDir);
    result.directoryReady = Platform::IsDirectory(outDir);
    if (!result.directoryReady) {
        result.directoryError = makeError != 0 ? makeError : ENOTDIR;
        return false;
    }

    const auto package = OpenPackageFiles(archive, options);
    if (!package) {
        return false;
    }
    result.packageOpened = true;

    // The package is listed once and read through this one open file: each
    // entry is copied by its place in the listing, never looked up again by
    // name.
    const std::vector<ArchiveEntry> entries = ReadEntries(package->Package(), options);
    // No output may overwrite the package or one of its part files, however
    // its path is spelled.
    const std::vector<Platform::FileId> protect = package->Identities(entries);
    std::atomic<std::uint64_t> bytesDone{0};
    const auto makeWorker = [&](bool reportsProgress, const std::function<void()>& onStep) {
        auto copier =
            std::make_shared<EntryCopier>(*package, bytesDone, reportsProgress ? onStep : nullptr);
        return OutputWorker(
            [copier, &entries](std::size_t i, const OutputOpener& open, std::uint64_t& written) {
                auto failure = copier->Copy(entries[i], open);
                written = failure ? 0 : entries[i].size;
                return failure;
            });
    };
    WriteOutputFiles({outDir, archive, entries, protect, layout, true, folder}, result, makeWorker,
                     bytesDone, onProgress, onWritten);
    return result.failures.empty();
}

void WriteOutputFiles(const OutputPlan& plan, ExtractionReport& result,
                      const OutputWorkerFactory& makeWorker, std::atomic<std::uint64_t>& bytesDone,
                      const ProgressCallback& onProgress, const WrittenCallback& onWritten) {
    const std::string& outDir = plan.outDir;
    const std::string& archive = plan.archive;
    const std::vector<ArchiveEntry>& entries = plan.entries;
    const std::span<const Platform::FileId> protect = plan.protect;
    const OutputLayout layout = plan.layout;
    // Where DIR folds letter case, names are given with the same folding, so
    // that which entry keeps a plain name never depends on which worker
    // creates its file first.
    const LetterCase letterCase =
        Platform::FoldsLetterCase(outDir) ? LetterCase::Folded : LetterCase::Distinct;
    const bool keepTree = layout == OutputLayout::Tree;
    TreePlacement tree;
    std::vector<std::optional<std::string>> flatNames;
    if (plan.folder != nullptr) {
        PlaceInFolder(entries, plan.folder->prefix, keepTree, letterCase, tree, flatNames);
    } else if (keepTree) {
        tree = PlaceInTree(entries, HostNameRules(), letterCase);
    } else {
        flatNames = AssignOutputNames(entries, HostNameRules(), letterCase);
    }
    const std::vector<std::optional<std::string>>& names = keepTree ? tree.names : flatNames;
    result.entryCount = entries.size();

    // The directories of a tree are made here, one level at a time and each
    // once, parents first, before any file: a directory is only ever entered
    // when this run created it or found exactly it from before, never
    // through a link. `relative` is each one's path from DIR as it turned
    // out, ending in "/"; a directory that could not be made fails every
    // entry inside it with its reason.
    std::vector<std::unique_ptr<OutputDirectory>> directories;
    std::vector<std::string> relative(1);
    std::vector<std::optional<std::string>> directoryFailure(1);
    // A folder's packages share DIR's flat names; in a tree each has its own
    // directory, and the directories above it are shared as they are found.
    directories.push_back(std::make_unique<OutputDirectory>(
        outDir, keepTree ? tree.directories.front().given : names, letterCase, archive, protect,
        false, plan.folder != nullptr && !keepTree ? plan.folder->run : nullptr));
    for (std::size_t d = 1; d < tree.directories.size(); ++d) {
        const TreePlacement::Directory& wanted = tree.directories[d];
        OutputDirectory* parent = directories[wanted.parent].get();
        std::string renamedDirectory;
        bool createdNow = false;
        std::optional<std::string> failure =
            parent == nullptr ? directoryFailure[wanted.parent]
                              : parent->MakeSubdirectory(wanted.name, renamedDirectory, createdNow);
        const std::string& got = renamedDirectory.empty() ? wanted.name : renamedDirectory;
        relative.push_back(relative[wanted.parent] + got + "/");
        directories.push_back(
            failure ? nullptr
                    : std::make_unique<OutputDirectory>(parent->Path() + "/" + got, wanted.given,
                                                        letterCase, archive, protect, createdNow));
        directoryFailure.push_back(std::move(failure));
    }
    const auto directoryOf = [&](std::size_t entry) -> std::size_t {
        return keepTree ? tree.directoryOf[entry] : 0;
    };
    // The name each entry's file got where it is not the one given, written
    // by the worker that extracts the entry.
    std::vector<std::string> renamed(entries.size());

    ExtractionProgress totals;
    totals.entriesTotal = entries.size();
    for (const ArchiveEntry& entry : entries) {
        // Saturating: hostile sizes must not wrap the total around.
        totals.bytesTotal = entry.size > UINT64_MAX - totals.bytesTotal
                                ? UINT64_MAX
                                : totals.bytesTotal + entry.size;
    }
    std::atomic<std::size_t> entriesDone{0};
    // Progress is reported from the calling thread only.
    std::function<void()> reportProgress;
    if (onProgress) {
        reportProgress = [&] {
            ExtractionProgress now = totals;
            now.entriesDone = entriesDone;
            now.bytesDone = bytesDone;
            onProgress(now);
        };
    }

    // Each entry's outcome is kept by its place, so failures are reported in
    // listing order whichever worker met them.
    std::vector<std::optional<std::string>> reasons(entries.size());
    std::vector<std::uint64_t> sizes(entries.size());
    // The first entry of each block, then the end of the last.
    std::vector<std::size_t> blockStarts{0};
    std::uint64_t blockBytes = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        blockBytes += std::min(entries[i].size, kBytesPerBlock);
        if (i + 1 - blockStarts.back() == kEntriesPerBlock || blockBytes >= kBytesPerBlock) {
            blockStarts.push_back(i + 1);
            blockBytes = 0;
        }
    }
    if (blockStarts.back() != entries.size()) {
        blockStarts.push_back(entries.size());
    }
    const std::size_t blockCount = blockStarts.size() - 1;
    std::atomic<std::size_t> nextBlock{0};
    const auto extractBlocks = [&](const OutputWorker& copy,
                                   const std::function<void()>& afterEntry) {
        for (;;) {
            const std::size_t block = nextBlock.fetch_add(1);
            if (block >= blockCount) {
                return;
            }
            const std::size_t first = blockStarts[block];
            const std::size_t end = blockStarts[block + 1];
            for (std::size_t i = first; i < end; ++i) {
                OutputDirectory* directory = directories[directoryOf(i)].get();
                if (!names[i]) {
                    reasons[i] = std::string(kNoSafeNameReason);
                } else if (directory == nullptr) {
                    reasons[i] = directoryFailure[directoryOf(i)];
                } else {
                    reasons[i] = copy(
                        i,
                        [&](Platform::OutputFile& out) {
                            return directory->Open(*names[i], out, renamed[i]);
                        },
                        sizes[i]);
                }
                ++entriesDone;
                if (afterEntry) {
                    afterEntry();
                }
            }
        }
    };

    std::mutex finishedLock;
    std::condition_variable finishedSignal;
    bool workerFinished = false;
    std::thread worker;
    if (plan.twoWorkers && blockCount > 1) {
        try {
            worker = std::thread([&] {
                // While both workers run, each decodes on its own core.
                const SpareCore core;
                const OutputWorker copy = makeWorker(false, {});
                extractBlocks(copy, {});
                std::lock_guard<std::mutex> hold(finishedLock);
                workerFinished = true;
                finishedSignal.notify_one();
            });
        } catch (const std::system_error&) {
            // No second thread to be had: this one does all the work.
        }
    }
    const OutputWorker copy = makeWorker(true, reportProgress);
    extractBlocks(copy, reportProgress);
    if (worker.joinable()) {
        // Keep the progress moving while the worker finishes its last block.
        std::unique_lock<std::mutex> hold(finishedLock);
        while (!finishedSignal.wait_for(hold, std::chrono::milliseconds(200),
                                        [&] { return workerFinished; })) {
            if (reportProgress) {
                reportProgress();
            }
        }
        hold.unlock();
        worker.join();
    }

    directories.front()->EndFolderPackage();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!reasons[i]) {
            ++result.entriesWritten;
            if (onWritten) {
                const std::string path =
                    relative[directoryOf(i)] + (renamed[i].empty() ? *names[i] : renamed[i]);
                onWritten({entries[i].name, path, sizes[i]});
            }
        } else {
            result.failures.push_back({entries[i].name,
                                       names[i] ? outDir + "/" + relative[directoryOf(i)] +
                                                      (renamed[i].empty() ? *names[i] : renamed[i])
                                                : "",
                                       std::move(*reasons[i])});
        }
    }
    result.bytesWritten = bytesDone;
}

} // namespace Kestrune
