#include "UnityWebData.h"

#include "Bounds.h"
#include "ByteOrder.h"
#include "Codecs.h"
#include "EntryData.h"
#include "PackageFiles.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Kestrune::Unity {
namespace {

constexpr std::size_t kHeadSize = 20; // signature and directory length
constexpr std::size_t kRecordSize = 12;
// The largest directory read: real ones are a few hundred bytes.
constexpr std::uint64_t kDirectoryLimit = kHeldBlockLimit;
// Where a Unity Brotli stream's metadata block puts "brotli".
constexpr std::uint64_t kBrotliMarkAt = 0x20;
constexpr std::string_view kBrotliMark = "brotli";
// Input is read for a decoder this much at a time.
constexpr std::size_t kInputChunk = 64 * 1024;

// How the container lies in the file.
Codec WrapperOf(ByteSource& source) {
    std::array<unsigned char, kBrotliMarkAt + 6> head{};
    const std::size_t got =
        source.ReadAt(0, head.data(), std::min<std::uint64_t>(head.size(), source.Size()));
    if (got >= 3 && head[0] == 0x1F && head[1] == 0x8B && head[2] == 8) {
        return Codec::Gzip;
    }
    if (got == head.size() &&
        std::memcmp(head.data() + kBrotliMarkAt, kBrotliMark.data(), kBrotliMark.size()) == 0) {
        return Codec::Brotli;
    }
    return Codec::Stored;
}

// Fills `out` with the first decoded bytes of the file, through a decoder
// that is fed the file a chunk at a time: nothing beyond `out` is decoded.
// Nullopt when it was filled; otherwise why not.
std::optional<std::string> DecodeStart(ByteSource& source, Codec codec,
                                       std::span<unsigned char> out) {
    const std::uint64_t size = source.Size();
    auto decoder = StreamDecoder::Create(codec, size, UINT64_MAX);
    std::vector<unsigned char> input(
        static_cast<std::size_t>(std::min<std::uint64_t>(kInputChunk, size)));
    std::uint64_t read = 0;
    std::span<unsigned char> room = out;
    while (!room.empty()) {
        if (read == size) {
            break;
        }
        const auto want =
            static_cast<std::size_t>(std::min<std::uint64_t>(input.size(), size - read));
        const std::size_t got = source.ReadAt(read, input.data(), want);
        if (got < want) {
            return std::string(CodecName(codec)) + " data is cut short by the end of the file";
        }
        read += got;
        std::span<const unsigned char> in(input.data(), got);
        while (!in.empty() && !room.empty()) {
            const std::size_t before = in.size() + room.size();
            if (auto failure = decoder->Decode(in, room, read == size)) {
                // No length is declared for the start: a stream that ends
                // before it is short, whatever the decoder makes of it.
                if (!decoder->WrongLength() && failure->find("ends early") == std::string::npos) {
                    return failure;
                }
                return std::string(CodecName(codec)) + " data ends after " +
                       std::to_string(decoder->Produced()) + " bytes, inside the first " +
                       std::to_string(out.size());
            }
            if (in.size() + room.size() == before) {
                break; // the stream ended
            }
        }
    }
    if (!room.empty()) {
        return std::string(CodecName(codec)) + " data ends after " +
               std::to_string(out.size() - room.size()) + " bytes, inside the first " +
               std::to_string(out.size());
    }
    return std::nullopt;
}

std::int64_t I32(const unsigned char* p) {
    return static_cast<std::int32_t>(LoadU32LE(p));
}

struct Record {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::string_view name;
};

DirectoryWalk Refused(std::string why) {
    DirectoryWalk walk = DirectoryWalk::Of(0, PackageKind::UnityWebData);
    walk.refusal = "damaged WebGL data: " + std::move(why);
    return walk;
}

} // namespace

bool IsWebData(ByteSource& source) {
    std::array<unsigned char, kWebDataSignature.size()> head{};
    const Codec codec = WrapperOf(source);
    if (codec == Codec::Stored) {
        if (source.ReadAt(0, head.data(), head.size()) != head.size()) {
            return false;
        }
    } else if (DecodeStart(source, codec, head)) {
        return false;
    }
    return std::memcmp(head.data(), kWebDataSignature.data(), head.size()) == 0;
}

DirectoryWalk VisitWebData(ByteSource& source, const EntryVisitor& visit, std::uint64_t limit,
                           const ReadOptions&, const CountAnnouncer* announce) {
    const Codec codec = WrapperOf(source);
    const std::uint64_t fileSize = source.Size();
    std::array<unsigned char, kHeadSize> head{};
    if (codec == Codec::Stored) {
        if (fileSize < kHeadSize || source.ReadAt(0, head.data(), head.size()) != head.size()) {
            return Refused("the header is cut short");
        }
    } else if (auto failure = DecodeStart(source, codec, head)) {
        return Refused(*failure);
    }
    const std::int64_t declared = I32(&head[16]);
    if (declared < static_cast<std::int64_t>(kHeadSize) ||
        static_cast<std::uint64_t>(declared) > kDirectoryLimit) {
        return Refused("a directory of " + std::to_string(declared) + " bytes");
    }
    const auto directoryEnd = static_cast<std::uint64_t>(declared);
    if (codec == Codec::Stored && directoryEnd > fileSize) {
        return Refused("the directory of " + std::to_string(directoryEnd) +
                       " bytes runs past the end of the file");
    }
    std::vector<unsigned char> directory(static_cast<std::size_t>(directoryEnd));
    if (codec == Codec::Stored) {
        if (source.ReadAt(0, directory.data(), directory.size()) != directory.size()) {
            return Refused("the directory is cut short");
        }
    } else if (auto failure = DecodeStart(source, codec, directory)) {
        return Refused(*failure);
    }

    // The whole directory is checked before the first entry goes out.
    std::vector<Record> records;
    std::size_t at = kHeadSize;
    while (at < directory.size()) {
        const std::size_t index = records.size();
        if (directory.size() - at < kRecordSize) {
            return Refused("entry " + std::to_string(index) +
                           " is cut short by the directory's end");
        }
        const std::int64_t offset = I32(&directory[at]);
        const std::int64_t size = I32(&directory[at + 4]);
        const std::int64_t nameLength = I32(&directory[at + 8]);
        at += kRecordSize;
        if (offset < 0 || size < 0 || nameLength < 0) {
            return Refused("entry " + std::to_string(index) +
                           " has a negative offset, size or name length");
        }
        if (!FitsWithin(at, static_cast<std::uint64_t>(nameLength), directory.size())) {
            return Refused("the name of entry " + std::to_string(index) +
                           " runs past the end of the directory");
        }
        Record& record = records.emplace_back();
        record.offset = static_cast<std::uint64_t>(offset);
        record.size = static_cast<std::uint64_t>(size);
        record.name = std::string_view(reinterpret_cast<const char*>(&directory[at]),
                                       static_cast<std::size_t>(nameLength));
        at += static_cast<std::size_t>(nameLength);
        if (record.offset < directoryEnd) {
            return Refused("entry " + std::to_string(index) + " begins inside the directory");
        }
        if (codec == Codec::Stored && !FitsWithin(record.offset, record.size, fileSize)) {
            return Refused("entry " + std::to_string(index) + " lies outside the " +
                           std::to_string(fileSize) + " bytes of the file");
        }
    }
    std::vector<std::size_t> order(records.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return records[a].offset < records[b].offset; });
    std::uint64_t end = directoryEnd;
    for (std::size_t i = 0; i < order.size(); ++i) {
        const Record& record = records[order[i]];
        if (i > 0 && record.size > 0) {
            const Record& before = records[order[i - 1]];
            if (record.offset - before.offset < before.size) {
                return Refused("entries " + std::to_string(order[i - 1]) + " and " +
                               std::to_string(order[i]) + " overlap");
            }
        }
        end = std::max(end, record.offset + record.size);
    }

    // A compressed container is one stream, decoded exactly to the end of
    // its last entry; every entry is a range of it.
    std::shared_ptr<SharedContent> shared;
    if (codec != Codec::Stored) {
        shared = std::make_shared<SharedContent>();
        Piece& piece = shared->pieces.emplace_back();
        piece.storedLength = fileSize;
        piece.codedLength = fileSize;
        piece.decodedLength = end;
        piece.codec = codec;
    }
    DirectoryWalk walk = DirectoryWalk::Of(0, PackageKind::UnityWebData);
    if (announce != nullptr && *announce) {
        (*announce)(std::min<std::uint64_t>(records.size(), limit));
    }
    for (const Record& record : records) {
        if (walk.visited >= limit) {
            break;
        }
        EntryView view;
        view.name = record.name;
        view.offset = record.offset;
        view.size = record.size;
        if (shared) {
            view.content.encoding = ContentEncoding::Pieces;
            view.content.shared = shared;
            view.content.firstPiece = 0;
            view.content.pieceCount = 1;
            view.content.skip = record.offset;
            view.compressedSize = fileSize;
            view.compression = CodecName(codec);
        } else {
            view.content = EntryContent::InPackage(record.offset, record.size);
            view.compressedSize = record.size;
        }
        visit(view);
        ++walk.visited;
    }
    return walk;
}

namespace {

// A window onto part of another source: a bundle inside a plain container,
// read where it lies.
class SliceSource final : public ByteSource {
public:
    SliceSource(ByteSource& whole, std::uint64_t offset, std::uint64_t size)
        : whole_(whole), offset_(offset), size_(size) {}
    std::uint64_t Size() const override { return size_; }
    std::size_t ReadAt(std::uint64_t offset, unsigned char* out, std::size_t length) override {
        if (!FitsWithin(offset, length, size_)) {
            return 0;
        }
        return whole_.ReadAt(offset_ + offset, out, length);
    }

private:
    ByteSource& whole_;
    std::uint64_t offset_;
    std::uint64_t size_;
};

// The content of `content` moved to where its bundle lies: `base` bytes into
// file `file` instead of the start of the bundle's own file.
void Rebase(EntryContent& content, std::uint64_t base, std::uint32_t file,
            std::map<const SharedContent*, std::shared_ptr<const SharedContent>>& moved) {
    for (std::size_t i = 0; i < content.runCount; ++i) {
        if (content.runs[i].file == kPackageFile) {
            content.runs[i].file = file;
            content.runs[i].offset += base;
        }
    }
    if (content.shared) {
        auto& copy = moved[content.shared.get()];
        if (!copy) {
            auto shifted = std::make_shared<SharedContent>(*content.shared);
            for (Piece& piece : shifted->pieces) {
                if (piece.file == kPackageFile) {
                    piece.file = file;
                    piece.offset += base;
                }
            }
            copy = std::move(shifted);
        }
        content.shared = copy;
    }
}

} // namespace

Bundle WebDataAsBundle(PackageFiles& files, std::vector<std::uint64_t>* entryOf) {
    Bundle out;
    out.walk = DirectoryWalk::Of(0, PackageKind::UnityWebData);
    std::vector<ArchiveEntry> entries;
    out.walk = VisitWebData(
        files.Package(),
        [&](const EntryView& view) {
            ArchiveEntry& entry = entries.emplace_back();
            entry.name.assign(view.name);
            entry.offset = view.offset;
            entry.size = view.size;
            entry.content = view.content;
            entry.compression.assign(view.compression);
        },
        UINT64_MAX, files.Options(), nullptr);
    if (!out.walk.refusal.empty()) {
        return out;
    }
    const bool plain = WrapperOf(files.Package()) == Codec::Stored;
    EntryReader reader(files);
    std::deque<std::string> names; // the nodes' names, until they are put in the directory
    std::vector<std::uint64_t> from;
    std::map<const SharedContent*, std::shared_ptr<const SharedContent>> moved;
    for (std::size_t e = 0; e < entries.size(); ++e) {
        const ArchiveEntry& entry = entries[e];
        MemorySink start(8);
        reader.Read(entry, start);
        const bool bundle =
            start.bytes.size() == 8 && std::memcmp(start.bytes.data(), "UnityFS\0", 8) == 0;
        std::optional<Bundle> inner;
        std::uint64_t base = 0;
        std::uint32_t file = kPackageFile;
        if (bundle && plain) {
            SliceSource slice(files.Package(), entry.offset, entry.size);
            inner = ReadBundle(slice, files.Options());
            base = entry.offset;
        } else if (bundle && entry.size <= kHeldBundleLimit) {
            MemorySink whole(static_cast<std::size_t>(entry.size));
            if (!reader.Read(entry, whole)) {
                file = files.Hold(entry.name, std::move(whole.bytes));
                inner = ReadBundle(*files.Get(file), files.Options());
            }
        }
        if (inner && inner->walk.refusal.empty()) {
            if (out.engineVersion.empty()) {
                out.engineVersion = inner->engineVersion;
            }
            for (BundleNode node : inner->nodes) {
                names.emplace_back(node.path);
                Rebase(node.content, base, file, moved);
                out.nodes.push_back(std::move(node));
                from.push_back(e);
            }
            continue;
        }
        BundleNode& node = out.nodes.emplace_back();
        names.emplace_back(entry.name);
        node.offset = entry.offset;
        node.size = entry.size;
        node.content = entry.content;
        node.flagsKnown = false;
        from.push_back(e);
    }
    std::size_t total = 0;
    for (const std::string& name : names) {
        total += name.size();
    }
    out.directory.reserve(total);
    for (std::size_t i = 0; i < out.nodes.size(); ++i) {
        const std::size_t at = out.directory.size();
        out.directory.insert(out.directory.end(), names[i].begin(), names[i].end());
        out.nodes[i].path = std::string_view(
            reinterpret_cast<const char*>(out.directory.data()) + at, names[i].size());
    }
    if (entryOf != nullptr) {
        *entryOf = std::move(from);
    }
    return out;
}

} // namespace Kestrune::Unity
