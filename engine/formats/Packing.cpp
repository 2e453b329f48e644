#include "Packing.h"

#include "KestruneEngine.h"
#include "PackWriters.h"
#include "Platform.h"
#include "VpkFormat.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <unordered_map>
#include <unordered_set>

namespace Kestrune {
namespace {

// The writers, by the name --format takes. Each lives next to its kind's
// reader; this table is the one place that joins names to them.
// Valve's packer splits at 200 MiB.
constexpr std::uint64_t kDefaultVpkPart = std::uint64_t{200} << 20;
constexpr std::size_t kReadPiece = std::size_t{1} << 20;
constexpr std::size_t kSinkBuffer = std::size_t{1} << 20;

std::string Quoted(std::string_view text) {
    return "'" + std::string(text) + "'";
}

std::string Joined(const std::string& dir, const std::string& name) {
    return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

// The directory part of `path` ("." when it has none) and its last component.
std::pair<std::string, std::string> SplitPath(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
#ifdef _WIN32
    const std::size_t back = path.find_last_of("\\:");
    if (back != std::string::npos && (slash == std::string::npos || back > slash)) {
        slash = back;
    }
#endif
    if (slash == std::string::npos) {
        return {".", path};
    }
    return {slash == 0 ? path.substr(0, 1) : path.substr(0, slash), path.substr(slash + 1)};
}

bool Inside(const std::string& path, const std::string& root) {
    if (path == root) {
        return true;
    }
    const std::string prefix = root.ends_with('/') ? root : root + "/";
    return path.starts_with(prefix);
}

bool HasDotDot(std::string_view name) {
    for (std::size_t at = 0; at <= name.size();) {
        std::size_t end = name.find('/', at);
        if (end == std::string_view::npos) {
            end = name.size();
        }
        if (name.substr(at, end - at) == "..") {
            return true;
        }
        at = end + 1;
    }
    return false;
}

class FileSink final : public PackSink {
public:
    explicit FileSink(std::string path) : path_(std::move(path)) { buffer_.reserve(kSinkBuffer); }

    bool Open(const std::string& dir, const std::string& name) {
        if (file_.Create(dir, name) != Platform::OutputFile::OpenStatus::Opened) {
            error_ = file_.LastError() != 0 ? file_.LastError() : EEXIST;
            return false;
        }
        return true;
    }

    bool Write(std::span<const unsigned char> bytes) override {
        if (error_ != 0) {
            return false;
        }
        position_ += bytes.size();
        if (buffer_.size() + bytes.size() > kSinkBuffer) {
            if (!Flush()) {
                return false;
            }
            if (bytes.size() >= kSinkBuffer) {
                return Put(bytes.data(), bytes.size());
            }
        }
        buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
        return true;
    }

    std::uint64_t Position() const override { return position_; }

    bool Close() {
        const bool flushed = Flush();
        if (!file_.Close() && error_ == 0) {
            error_ = file_.LastError() != 0 ? file_.LastError() : EIO;
        }
        return flushed && error_ == 0;
    }

    int Error() const { return error_; }
    const std::string& Path() const { return path_; }

private:
    bool Flush() {
        const bool ok = buffer_.empty() || Put(buffer_.data(), buffer_.size());
        buffer_.clear();
        return ok;
    }
    bool Put(const unsigned char* data, std::size_t length) {
        if (error_ == 0 && !file_.Write(data, length)) {
            error_ = file_.LastError() != 0 ? file_.LastError() : EIO;
        }
        return error_ == 0;
    }

    std::string path_;
    Platform::OutputFile file_;
    std::vector<unsigned char> buffer_;
    std::uint64_t position_ = 0;
    int error_ = 0;
};

// The files of one packing, in a temporary directory beside the package.
class TemporaryOutput final : public PackOutput {
public:
    TemporaryOutput(std::string dir, std::string packageName, std::string shownDir)
        : dir_(std::move(dir)), packageName_(std::move(packageName)),
          shownDir_(std::move(shownDir)) {}

    const std::string& PackageName() const override { return packageName_; }

    PackSink* Create(const std::string& fileName) override {
        auto sink = std::make_unique<FileSink>(fileName);
        if (!sink->Open(dir_, fileName)) {
            failed_ = fileName;
            error_ = sink->Error();
            return nullptr;
        }
        sinks_.push_back(std::move(sink));
        return sinks_.back().get();
    }

    std::string Failure() const override {
        for (const auto& sink : sinks_) {
            if (sink->Error() != 0) {
                return Describe(sink->Path(), sink->Error());
            }
        }
        return failed_.empty() ? std::string("cannot write the package")
                               : Describe(failed_, error_);
    }

    // Closes every file; false when one lost data.
    bool CloseAll() {
        bool ok = true;
        for (const auto& sink : sinks_) {
            ok = sink->Close() && ok;
        }
        return ok;
    }

    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& sink : sinks_) {
            names.push_back(sink->Path());
        }
        return names;
    }

    // Removes every file made and the directory.
    void Discard() {
        for (const auto& sink : sinks_) {
            sink->Close();
        }
        for (const auto& sink : sinks_) {
            Platform::RemoveFile(Joined(dir_, sink->Path()));
        }
        sinks_.clear();
        Platform::RemoveEmptyDirectory(dir_);
    }

private:
    std::string Describe(const std::string& name, int error) const {
        return "cannot write " + Quoted(Joined(shownDir_, name)) + ": " +
               Platform::ErrorText(error);
    }

    std::string dir_;
    std::string packageName_;
    std::string shownDir_;
    std::vector<std::unique_ptr<FileSink>> sinks_;
    std::string failed_;
    int error_ = 0;
};

// What a walk of DIR found.
struct Walker {
    std::string root;     // DIR as given
    std::string resolved; // DIR with every link followed
    const std::function<bool(std::string_view)>* select;
    std::vector<PackFile> files;
    std::optional<std::string> failure;

    bool Fail(std::string message) {
        failure = std::move(message);
        return false;
    }

    // A file, by its length when it was looked at (nullopt: open it to
    // learn it, as for a link); whether it can be read shows when it is.
    bool AddFile(const std::string& path, const std::string& name,
                 std::optional<std::uint64_t> size) {
        if (*select && !(*select)(name)) {
            return true;
        }
        if (!size) {
            Platform::InputFile input;
            if (!input.Open(path)) {
                return Fail("cannot read " + Quoted(path) + ": " +
                            Platform::ErrorText(input.LastError()));
            }
            size = input.Size();
        }
        files.push_back({name, path, *size});
        return true;
    }

    bool Walk(const std::string& dir, const std::string& prefix) {
        auto names = Platform::ListDirectory(dir);
        if (!names) {
            return Fail("cannot read the directory " + Quoted(dir));
        }
        std::sort(names->begin(), names->end());
        for (const std::string& item : *names) {
            const std::string path = Joined(dir, item);
            const std::string name = prefix + item;
            std::uint64_t size = 0;
            switch (Platform::LinkStatus(path, &size)) {
            case Platform::PathKind::Directory:
                if (!Walk(path, name + "/")) {
                    return false;
                }
                break;
            case Platform::PathKind::File:
                if (!AddFile(path, name, size)) {
                    return false;
                }
                break;
            case Platform::PathKind::Link: {
                const auto target = Platform::ResolvedPath(path);
                if (!target || !Inside(*target, resolved) || *target == resolved) {
                    return Fail(Quoted(name) + " is a link leading out of " + Quoted(root));
                }
                if (Platform::IsDirectory(path)) {
                    return Fail(Quoted(name) + " is a link to a directory: not followed");
                }
                if (!AddFile(path, name, std::nullopt)) {
                    return false;
                }
                break;
            }
            default:
                return Fail(Quoted(name) + " is neither a file nor a directory");
            }
        }
        return true;
    }
};

} // namespace

const PackageFormat* FindPackFormat(std::string_view name) {
    for (const PackageFormat& format : Formats()) {
        if (format.writer != nullptr && format.writerName == name) {
            return &format;
        }
    }
    return nullptr;
}

const PackageFormat* FindPackFormat(PackageKind kind) {
    for (const PackageFormat& format : Formats()) {
        if (format.writer != nullptr && format.kind == kind) {
            return &format;
        }
    }
    return nullptr;
}

PlanOutcome PlanPackage(const std::string& dir, const std::string& outPath,
                        const std::function<bool(std::string_view)>& select,
                        std::vector<std::string> order, const PackSettings& settings) {
    PlanOutcome outcome;
    outcome.plan.settings = settings;
    const auto fail = [&](std::string message) {
        outcome.failure = std::move(message);
        return outcome;
    };
    const auto resolvedDir = Platform::ResolvedPath(dir);
    if (!Platform::IsDirectory(dir) || !resolvedDir) {
        return fail(Quoted(dir) + " is not a directory");
    }
    if (Platform::IsDirectory(outPath)) {
        return fail(Quoted(outPath) + " is a directory");
    }
    const auto [outDir, outName] = SplitPath(outPath);
    const auto resolvedOutDir = Platform::ResolvedPath(outDir);
    if (outName.empty() || !resolvedOutDir) {
        return fail("cannot write " + Quoted(outPath) + ": its directory does not exist");
    }
    if (Inside(*resolvedOutDir, *resolvedDir)) {
        return fail(Quoted(outPath) + " lies inside " + Quoted(dir) +
                    ": the package would pack itself");
    }

    Walker walker{dir, *resolvedDir, &select, {}, {}};
    if (!walker.Walk(dir, "")) {
        return fail(*walker.failure);
    }
    std::vector<PackFile>& files = walker.files;
    // Byte order of the stored names, whatever order the directory gave.
    std::sort(files.begin(), files.end(),
              [](const PackFile& a, const PackFile& b) { return a.name < b.name; });

    for (const std::string& line : order) {
        if (HasDotDot(line)) {
            return fail("the order names " + Quoted(line) + ", which climbs out with \"..\"");
        }
    }
    if (settings.kind != PackageKind::Wad && !order.empty()) {
        std::unordered_map<std::string_view, std::size_t> byName;
        for (std::size_t i = 0; i < files.size(); ++i) {
            byName.emplace(files[i].name, i);
        }
        std::vector<PackFile> ordered;
        std::vector<bool> placed(files.size(), false);
        for (const std::string& line : order) {
            if (line.empty()) {
                continue;
            }
            const auto found = byName.find(line);
            if (found == byName.end()) {
                return fail("the order names " + Quoted(line) + ", which is no file of " +
                            Quoted(dir) + " taken");
            }
            if (!placed[found->second]) {
                placed[found->second] = true;
                ordered.push_back(files[found->second]);
            }
        }
        for (std::size_t i = 0; i < files.size(); ++i) {
            if (!placed[i]) {
                ordered.push_back(std::move(files[i]));
            }
        }
        files = std::move(ordered);
    }
    outcome.plan.files = std::move(files);
    outcome.plan.order = std::move(order);
    return outcome;
}

std::optional<std::string>
ReadPackFile(const PackFile& file,
             const std::function<bool(std::span<const unsigned char>)>& each) {
    Platform::InputFile input;
    if (!input.Open(file.source)) {
        return "cannot read " + Quoted(file.source) + ": " + Platform::ErrorText(input.LastError());
    }
    thread_local std::vector<unsigned char> buffer(kReadPiece);
    std::uint64_t at = 0;
    while (at < file.size) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(kReadPiece, file.size - at));
        const std::size_t got = input.ReadAt(at, buffer.data(), want);
        if (got != want) {
            return Quoted(file.source) + " changed while it was packed (it is shorter)";
        }
        if (!each({buffer.data(), got})) {
            return std::string("stopped");
        }
        at += got;
    }
    unsigned char extra = 0;
    if (input.ReadAt(at, &extra, 1) != 0) {
        return Quoted(file.source) + " changed while it was packed (it is longer)";
    }
    return std::nullopt;
}

PackOutcome WritePackage(const PackPlan& plan, const std::string& outPath,
                         const ReadOptions& verify) {
    PackOutcome outcome;
    const PackageFormat* format = FindPackFormat(plan.settings.kind);
    if (format == nullptr) {
        outcome.failure = "this kind of package cannot be written";
        return outcome;
    }
    const auto split = SplitPath(outPath);
    const std::string& outDir = split.first;
    const std::string& outName = split.second;
    std::string tempDir;
    for (unsigned attempt = 0;; ++attempt) {
        tempDir = Joined(outDir, ".kestrune-pack-" + std::to_string(attempt) + "-" + outName);
        const int made = Platform::MakeDirectory(tempDir);
        if (made == 0) {
            break;
        }
        if (made != EEXIST || attempt == 100) {
            outcome.failure = "cannot write " + Quoted(outPath) + ": " + Platform::ErrorText(made);
            return outcome;
        }
    }
    TemporaryOutput out(tempDir, outName, outDir);
    std::uint64_t entries = 0;
    std::optional<std::string> failure = format->writer(plan, out, entries);
    if (!failure && !out.CloseAll()) {
        failure = out.Failure();
    }
    if (!failure) {
        // Read back in full, as --test does, before anything is shown at OUT.
        ReadOptions options;
        options.aesKeys = verify.aesKeys;
        options.oodleLibrary = verify.oodleLibrary;
        std::string damage;
        const PackageCheck check = KestruneEngine::TestPackage(
            Joined(tempDir, outName),
            [&](const DamagedEntry& entry) {
                if (damage.empty()) {
                    damage = std::string(entry.name) + ": " + std::string(entry.reason);
                }
            },
            options);
        if (!check.opened || check.kind != plan.settings.kind || check.entryCount != entries ||
            check.damagedCount != 0) {
            failure = "the package written does not read back whole" +
                      (damage.empty() ? std::string() : " (" + damage + ")") + ": nothing written";
        }
    }
    if (failure) {
        out.Discard();
        outcome.failure = std::move(failure);
        return outcome;
    }
    // Parts first, the package last: a package at OUT has its parts.
    std::vector<std::string> names = out.Names();
    std::stable_partition(names.begin(), names.end(),
                          [&](const std::string& name) { return name != outName; });
    for (const std::string& name : names) {
        const int moved = Platform::RenameFile(Joined(tempDir, name), Joined(outDir, name));
        if (moved != 0) {
            out.Discard();
            outcome.failure =
                "cannot write " + Quoted(Joined(outDir, name)) + ": " + Platform::ErrorText(moved);
            return outcome;
        }
    }
    Platform::RemoveEmptyDirectory(tempDir);
    outcome.written = true;
    outcome.files = plan.files.size();
    return outcome;
}

LikeOutcome ReadLikeSettings(const std::string& reference, const ReadOptions& options,
                             bool keyGiven) {
    LikeOutcome like;
    ReadOptions reading;
    reading.aesKeys = options.aesKeys;
    reading.oodleLibrary = options.oodleLibrary;
    const PackageSummary summary = KestruneEngine::Examine(reference, reading);
    if (!summary.opened) {
        like.failure =
            "cannot open " + Quoted(reference) + ": " + Platform::ErrorText(summary.openError);
        return like;
    }
    if (!summary.walk.refusal.empty()) {
        like.failure = Quoted(reference) + ": " + summary.walk.refusal;
        return like;
    }
    const PackageFormat* format = FindPackFormat(summary.walk.kind);
    if (format == nullptr) {
        like.failure = Quoted(reference) + " is no package of a kind the tool writes";
        return like;
    }
    like.settings.kind = format->kind;
    if (keyGiven && format->kind != PackageKind::Unreal) {
        like.failure = "--aes-key: " + Quoted(reference) + " is not encrypted";
        return like;
    }
    Platform::InputFile input;
    std::array<unsigned char, 8> head{};
    if (!input.Open(reference) || input.ReadAt(0, head.data(), head.size()) != head.size()) {
        head.fill(0);
    }
    switch (format->kind) {
    case PackageKind::Wad:
        like.settings.iwad =
            std::string_view(reinterpret_cast<const char*>(head.data()), 4) == "IWAD";
        like.description = like.settings.iwad ? "IWAD" : "PWAD";
        break;
    case PackageKind::Vpk: {
        like.settings.vpkVersion = head[4];
        bool parts = false;
        KestruneEngine::VisitEntries(
            reference, [](std::uint64_t) {},
            [&](const EntryView& entry) {
                for (std::size_t r = 0; r < entry.content.runCount; ++r) {
                    parts = parts || entry.content.runs[r].file != kPackageFile;
                }
            },
            reading);
        like.description = "version " + std::to_string(like.settings.vpkVersion);
        if (parts) {
            // The size of its first part, as near as the reference tells the
            // size it was split at.
            Platform::InputFile first;
            const std::string part = Vpk::PartPath(reference, 0);
            like.settings.splitSize =
                first.Open(part) && first.Size() > 0 ? first.Size() : kDefaultVpkPart;
            like.description += ", parts of " + std::to_string(like.settings.splitSize) + " bytes";
        } else {
            like.description += ", one file";
        }
        break;
    }
    case PackageKind::Zip: {
        // Deflate when the reference deflates, stored when it stores all;
        // a method a ZIP package is not written with gives way to Deflate.
        bool deflated = false;
        std::string other;
        KestruneEngine::VisitEntries(
            reference, [](std::uint64_t) {},
            [&](const EntryView& entry) {
                if (entry.compression == "Deflate") {
                    deflated = true;
                } else if (entry.compression != "Store" && other.empty()) {
                    other = std::string(entry.compression);
                }
            },
            reading);
        like.settings.compression = deflated || !other.empty() ? Codec::Deflate : Codec::Stored;
        like.description = deflated || other.empty() ? (deflated ? "Deflate" : "no compression")
                                                     : "Deflate (in place of " + other + ")";
        break;
    }
    case PackageKind::Unreal:
        if (auto failure =
                Unreal::ReadLike(reference, reading, keyGiven, like.settings, like.description)) {
            like.failure = std::move(failure);
        }
        break;
    default:
        like.description = std::string(format->writerName);
        break;
    }
    return like;
}

} // namespace Kestrune
