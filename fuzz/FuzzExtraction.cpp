// fuzz_extract: any bytes at all, written to a package file and extracted.
//
// Each input gets a fresh work directory holding the package (named as a VPK
// directory file), a copy of the input as its numbered part 0 (part 1 and
// beyond stay missing), another as the .ucas an IoStore container of that
// name reads its blocks from, and a bystander file; ExtractAll writes into
// work/out.
// Promises checked on every input:
// - nothing outside work/out is created, changed or removed: the scratch
//   tree, the package's and the part's bytes and the bystander's included;
// - inside work/out there are only regular files, directly in it;
// - the report adds up: written plus failed entries make the listing, success
//   means no failure, and the files hold exactly the bytes reported written;
// - every entry reported written holds exactly its content: the bytes of
//   its runs, one after the other, each from the file that holds it, all of
//   them there and matching the stored CRC32 when there is one; a failed
//   entry's file holds a prefix of them, never padding (as far as the runs
//   go: a missing part or a run cut short ends them), and all of them when
//   only the checksum failed;
// - an input starting "KPCS" instead describes pieces and entries over its
//   own bytes (FuzzPieces.h), which the entry reader decodes: every codec
//   and the cipher are reached that way;
// - ExtractFile writes the first entry's content to a file of its own, and
//   refuses to write it over the package itself or over a part it reads;
// - a Unity bundle's objects go through the converters of ExportAll, which
//   writes only regular files inside work/out, adding up to its report.

#include "ArchiveEntry.h"
#include "ByteSource.h"
#include "Detect.h"
#include "Extraction.h"
#include "FuzzPieces.h"
#include "FuzzSupport.h"
#include "KestruneEngine.h"
#include "OutputNames.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>
#include <zlib.h>

namespace {

using namespace Kestrune;
namespace fs = std::filesystem;

// Everything under `root` except the subtree at `skip`: type, and the bytes
// of regular files or the target of symbolic links.
std::map<std::string, std::string> Snapshot(const fs::path& root, const fs::path& skip) {
    std::map<std::string, std::string> seen;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        const fs::path& path = it->path();
        const std::string key = path.lexically_relative(root).string();
        if (path == skip) {
            it.disable_recursion_pending();
            seen[key] = "(output directory)";
        } else if (it->is_symlink()) {
            seen[key] = "link to " + fs::read_symlink(path).string();
        } else if (it->is_directory()) {
            seen[key] = "directory";
        } else if (it->is_regular_file()) {
            seen[key] = "file " + Fuzzing::ReadBytes(path);
        } else {
            seen[key] = "other";
        }
    }
    return seen;
}

// An entry's content as far as its files hold it: the runs' bytes one after
// the other, up to the first run that is cut short or whose file is missing.
struct Content {
    std::string bytes;
    bool allThere = true;   // every run lies whole in an existing file
    bool checksumOk = true; // and they match the stored CRC32, if any
    // False for content decoded by a codec (a Unity bundle's LZ4 or LZMA
    // blocks), which this plain reading does not decode: then only its
    // length is checked.
    bool known = true;
    bool Whole() const { return allThere && checksumOk; }
};

// Content that is a slice of stored (uncompressed) pieces, as a Unity
// bundle of stored blocks holds it.
Content PiecesOf(const ArchiveEntry& entry, std::string_view package) {
    Content content;
    std::string decoded;
    for (const Piece& piece : entry.content.Pieces()) {
        if (piece.codec != Codec::Stored || piece.encrypted || piece.file != kPackageFile ||
            piece.offset > package.size() || piece.storedLength > package.size() - piece.offset ||
            piece.storedLength != piece.decodedLength) {
            content.known = false;
            return content;
        }
        decoded += package.substr(static_cast<std::size_t>(piece.offset),
                                  static_cast<std::size_t>(piece.storedLength));
    }
    if (entry.content.skip > decoded.size() || entry.size > decoded.size() - entry.content.skip) {
        content.allThere = false;
        return content;
    }
    content.bytes = decoded.substr(static_cast<std::size_t>(entry.content.skip),
                                   static_cast<std::size_t>(entry.size));
    return content;
}

Content ContentOf(const ArchiveEntry& entry, std::string_view package, std::string_view part0) {
    // Content its reader refuses (a ZIP entry whose local header lies
    // outside the archive's data, an encrypted one) is never whole, whatever
    // its runs would give: an empty one would pass its CRC-32 of 0.
    if (!entry.content.refusal.empty()) {
        Content content;
        content.allThere = false;
        return content;
    }
    if (entry.content.encoding == ContentEncoding::Pieces) {
        return PiecesOf(entry, package);
    }
    Content content;
    for (std::size_t i = 0; i < entry.content.runCount; ++i) {
        const DataRun& run = entry.content.runs[i];
        if (run.file != kPackageFile && run.file != 0) {
            content.allThere = false;
            return content;
        }
        const std::string_view file = run.file == kPackageFile ? package : part0;
        // A run of no bytes is whole wherever it points.
        const std::uint64_t there =
            run.offset < file.size() ? std::min<std::uint64_t>(run.length, file.size() - run.offset)
                                     : 0;
        content.bytes +=
            file.substr(static_cast<std::size_t>(std::min<std::uint64_t>(run.offset, file.size())),
                        static_cast<std::size_t>(there));
        if (there < run.length) {
            content.allThere = false;
            return content;
        }
    }
    if (entry.content.crc32) {
        const auto sum =
            ::crc32(::crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(content.bytes.data()),
                    static_cast<uInt>(content.bytes.size()));
        content.checksumOk = sum == *entry.content.crc32;
    }
    return content;
}

// Whether an IoStore entry's blocks lie in the container's first .ucas.
bool ReadsPartition0(const ArchiveEntry& entry) {
    const EntryContent& content = entry.content;
    if (content.encoding != ContentEncoding::Pieces || !content.shared ||
        content.firstPiece > content.shared->pieces.size() ||
        content.pieceCount > content.shared->pieces.size() - content.firstPiece) {
        return false;
    }
    const auto pieces = content.Pieces();
    return std::any_of(pieces.begin(), pieces.end(),
                       [](const Piece& piece) { return piece.file == 0; });
}

bool ReadsPart0(const ArchiveEntry& entry) {
    for (std::size_t i = 0; i < entry.content.runCount; ++i) {
        if (entry.content.runs[i].file == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const fs::path root = Fuzzing::ScratchRoot();
    const fs::path work = root / "work";
    const fs::path out = work / "out";
    const fs::path package = work / "package_dir.vpk";
    const fs::path part0 = work / "package_000.vpk";
    // An IoStore container's first partition, by its naming of this package.
    const fs::path ucas = work / "package_dir.vpk.ucas";
    fs::remove_all(work);
    fs::create_directory(work);
    if (Fuzzing::ReadPiecesInput(input, work / "pieces.bin")) {
        return 0; // the codecs and the cipher, over pieces the input describes
    }
    Fuzzing::WriteBytes(package, data, size);
    Fuzzing::WriteBytes(part0, data, size);
    Fuzzing::WriteBytes(ucas, data, size);
    const std::string bystander = "left alone";
    Fuzzing::WriteBytes(work / "bystander", reinterpret_cast<const std::uint8_t*>(bystander.data()),
                        bystander.size());

    MemorySource memory(std::span<const unsigned char>(data, size));
    const std::vector<ArchiveEntry> entries = ReadEntries(memory);
    const std::vector<std::optional<std::string>> names =
        AssignOutputNames(entries, HostNameRules());

    const auto before = Snapshot(root, out);
    ExtractionReport report;
    const bool ok = KestruneEngine::ExtractAll(package.string(), out.string(), &report);
    auto after = Snapshot(root, out);
    KESTRUNE_FUZZ_CHECK(after.erase("work/out") == 1);
    KESTRUNE_FUZZ_CHECK(before == after);
    KESTRUNE_FUZZ_CHECK(Fuzzing::ReadBytes(package) == input);
    KESTRUNE_FUZZ_CHECK(Fuzzing::ReadBytes(part0) == input);
    KESTRUNE_FUZZ_CHECK(Fuzzing::ReadBytes(ucas) == input);

    KESTRUNE_FUZZ_CHECK(report.directoryReady && report.packageOpened);
    KESTRUNE_FUZZ_CHECK(report.entryCount == entries.size());
    KESTRUNE_FUZZ_CHECK(report.entriesWritten + report.failures.size() == entries.size());
    KESTRUNE_FUZZ_CHECK(ok == report.failures.empty());

    std::set<std::string> failedPaths;
    for (const ExtractionFailure& failure : report.failures) {
        KESTRUNE_FUZZ_CHECK(!failure.reason.empty());
        if (!failure.outputPath.empty()) {
            KESTRUNE_FUZZ_CHECK(fs::path(failure.outputPath).parent_path() == out);
            failedPaths.insert(failure.outputPath);
        }
    }

    std::uint64_t bytesOnDisk = 0;
    std::size_t files = 0;
    for (const fs::directory_entry& file : fs::directory_iterator(out)) {
        KESTRUNE_FUZZ_CHECK(file.is_regular_file() && !file.is_symlink());
        bytesOnDisk += file.file_size();
        ++files;
    }
    KESTRUNE_FUZZ_CHECK(files <= entries.size());
    KESTRUNE_FUZZ_CHECK(bytesOnDisk == report.bytesWritten);

    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!names[i]) {
            continue;
        }
        const std::string path = out.string() + "/" + *names[i];
        if (entries[i].content.encoding == ContentEncoding::Pieces) {
            // Decoded content (an Unreal pak's blocks): never more than declared.
            std::error_code unknown;
            KESTRUNE_FUZZ_CHECK(!fs::exists(path, unknown) ||
                                fs::file_size(path) <= entries[i].size);
            continue;
        }
        const Content expected = ContentOf(entries[i], input, input);
        // The non-throwing exists(): a failed entry's name may be longer than
        // the file system allows, and then even looking it up fails.
        std::error_code lookup;
        if (!expected.known) {
            KESTRUNE_FUZZ_CHECK(failedPaths.count(path) != 0 ||
                                Fuzzing::ReadBytes(path).size() == entries[i].size);
        } else if (failedPaths.count(path) == 0) {
            KESTRUNE_FUZZ_CHECK(expected.Whole());
            KESTRUNE_FUZZ_CHECK(expected.bytes.size() == entries[i].size);
            KESTRUNE_FUZZ_CHECK(Fuzzing::ReadBytes(path) == expected.bytes);
        } else if (fs::exists(path, lookup)) {
            const std::string written = Fuzzing::ReadBytes(path);
            KESTRUNE_FUZZ_CHECK(std::string_view(expected.bytes).starts_with(written));
            // Content that only failed its checksum keeps all its bytes.
            if (expected.allThere && !expected.checksumOk) {
                KESTRUNE_FUZZ_CHECK(written == expected.bytes);
            }
        }
    }

    if (!entries.empty()) {
        // ExtractFile finds the first entry of that name, which entries[0] is.
        const fs::path single = work / "single";
        const Content expected = ContentOf(entries[0], input, input);
        const bool whole =
            KestruneEngine::ExtractFile(package.string(), entries[0].name, single.string());
        // Decoded or hash-checked content (an Unreal pak's, whether the hash
        // is in its index or its in-data header; a Unity bundle's compressed
        // blocks; an IoStore chunk's) is not what a plain reading predicts:
        // only its bound is checked.
        const auto& stored = entries[0].content;
        if (expected.known && !stored.storedSha1 && !stored.storedSha1At && !stored.blake3) {
            KESTRUNE_FUZZ_CHECK(whole == expected.Whole());
            KESTRUNE_FUZZ_CHECK(Fuzzing::ReadBytes(single) == expected.bytes);
        } else {
            KESTRUNE_FUZZ_CHECK(Fuzzing::ReadBytes(single).size() <= entries[0].size);
            KESTRUNE_FUZZ_CHECK(!whole || Fuzzing::ReadBytes(single).size() == entries[0].size);
        }

        KESTRUNE_FUZZ_CHECK(
            !KestruneEngine::ExtractFile(package.string(), entries[0].name, package.string()));
        KESTRUNE_FUZZ_CHECK(Fuzzing::ReadBytes(package) == input);
        if (ReadsPartition0(entries[0])) {
            KESTRUNE_FUZZ_CHECK(
                !KestruneEngine::ExtractFile(package.string(), entries[0].name, ucas.string()));
            KESTRUNE_FUZZ_CHECK(Fuzzing::ReadBytes(ucas) == input);
        }
        if (ReadsPart0(entries[0])) {
            KESTRUNE_FUZZ_CHECK(
                !KestruneEngine::ExtractFile(package.string(), entries[0].name, part0.string()));
            KESTRUNE_FUZZ_CHECK(Fuzzing::ReadBytes(part0) == input);
        }
    }

    // A Unity bundle's objects through the converters, as --export writes
    // them: into DIR only, flat, the files adding up to what is reported.
    if (Fuzzing::UnitySignature(input)) {
        fs::remove_all(out);
        const auto beforeExport = Snapshot(root, out);
        ExportReport exported;
        const bool exportOk = KestruneEngine::ExportAll(package.string(), out.string(), &exported);
        auto afterExport = Snapshot(root, out);
        afterExport.erase("work/out");
        KESTRUNE_FUZZ_CHECK(beforeExport == afterExport);
        KESTRUNE_FUZZ_CHECK(exportOk ==
                            (exported.hasConverters && exported.files.failures.empty()));
        // Kinds without converters (a damaged signature) make no DIR.
        KESTRUNE_FUZZ_CHECK(exported.hasConverters == fs::exists(out));
        std::uint64_t exportedBytes = 0;
        for (const fs::directory_entry& file :
             exported.hasConverters ? fs::directory_iterator(out) : fs::directory_iterator()) {
            KESTRUNE_FUZZ_CHECK(file.is_regular_file() && !file.is_symlink());
            exportedBytes += file.file_size();
        }
        KESTRUNE_FUZZ_CHECK(exportedBytes == exported.files.bytesWritten);
    }

    fs::remove_all(work);
    return 0;
}
