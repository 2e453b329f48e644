#pragma once

// The way into the codecs and the cipher for fuzz_extract, until package
// readers hand over pieces: an input that starts with "KPCS" describes
// pieces and entries over its own bytes, and every entry is read through the
// EntryReader. Layout (little-endian):
//
//   "KPCS"
//   u8  piece count (at most kMaxPieces)
//   per piece: u8 codec (modulo the number of codecs), u8 flags (bit 0:
//              encrypted), u32 stored length, u32 coded length,
//              u32 decoded length
//   u8  entry count (at most kMaxEntries)
//   per entry: u8 first piece, u8 piece count, u32 skip, u32 size,
//              u8 flags (bit 0: a SHA-1 of zeros is stored)
//   the stored bytes of the pieces, one after the other; a piece whose
//   stored length runs past the end of the input is cut short.
//
// Checked on every input: a read never delivers more than the entry's size,
// and a read that succeeds delivers all of it.

#include "Codecs.h"
#include "EntryData.h"
#include "FuzzSupport.h"
#include "PackageFiles.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>
#include <vector>

namespace Kestrune::Fuzzing {

inline constexpr std::string_view kPiecesMagic = "KPCS";
inline constexpr std::size_t kMaxPieces = 16;
inline constexpr std::size_t kMaxEntries = 16;
inline constexpr std::uint8_t kCodecCount = 13; // Stored to Brotli

class PieceInput {
public:
    explicit PieceInput(std::string_view bytes) : bytes_(bytes) {}
    bool U8(std::uint8_t& value) {
        if (at_ + 1 > bytes_.size()) {
            return false;
        }
        value = static_cast<std::uint8_t>(bytes_[at_++]);
        return true;
    }
    bool U32(std::uint32_t& value) {
        value = 0;
        for (int i = 0; i < 4; ++i) {
            std::uint8_t byte = 0;
            if (!U8(byte)) {
                return false;
            }
            value |= std::uint32_t{byte} << (8 * i);
        }
        return true;
    }
    std::size_t At() const { return at_; }

private:
    std::string_view bytes_;
    std::size_t at_ = 0;
};

// True when the input was a pieces input (and was read).
inline bool ReadPiecesInput(std::string_view input, const std::filesystem::path& file) {
    if (!input.starts_with(kPiecesMagic)) {
        return false;
    }
    PieceInput in(input.substr(kPiecesMagic.size()));
    auto shared = std::make_shared<SharedContent>();
    shared->aesKey = AesKey{'k', 'e', 's', 't', 'r', 'u', 'n', 'e'};
    std::uint8_t pieceCount = 0;
    in.U8(pieceCount);
    std::uint64_t offset = 0;
    for (std::size_t i = 0; i < pieceCount && i < kMaxPieces; ++i) {
        std::uint8_t codec = 0, flags = 0;
        std::uint32_t stored = 0, coded = 0, decoded = 0;
        if (!in.U8(codec) || !in.U8(flags) || !in.U32(stored) || !in.U32(coded) ||
            !in.U32(decoded)) {
            return true;
        }
        Piece piece;
        piece.offset = offset; // from the start of the stored bytes, moved below
        piece.storedLength = stored;
        piece.codedLength = coded;
        piece.decodedLength = decoded;
        piece.codec = static_cast<Codec>(codec % kCodecCount);
        piece.encrypted = (flags & 1) != 0;
        offset += stored;
        shared->pieces.push_back(piece);
    }
    std::vector<ArchiveEntry> entries;
    std::uint8_t entryCount = 0;
    in.U8(entryCount);
    for (std::size_t i = 0; i < entryCount && i < kMaxEntries; ++i) {
        std::uint8_t first = 0, count = 0, flags = 0;
        std::uint32_t skip = 0, size = 0;
        if (!in.U8(first) || !in.U8(count) || !in.U32(skip) || !in.U32(size) || !in.U8(flags)) {
            return true;
        }
        ArchiveEntry& entry = entries.emplace_back();
        entry.size = size;
        entry.content.encoding = ContentEncoding::Pieces;
        entry.content.shared = shared;
        entry.content.firstPiece = first;
        entry.content.pieceCount = count;
        entry.content.skip = skip;
        if ((flags & 1) != 0) {
            entry.content.storedSha1.emplace();
        }
    }
    const std::uint64_t start = kPiecesMagic.size() + in.At();
    for (Piece& piece : shared->pieces) {
        piece.offset += start;
    }
    WriteBytes(file, reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
    const auto files = PackageFiles::Open(file.string());
    KESTRUNE_FUZZ_CHECK(files != nullptr);
    EntryReader reader(*files);
    for (const ArchiveEntry& entry : entries) {
        CountingSink sink;
        const auto failure = reader.Read(entry, sink);
        KESTRUNE_FUZZ_CHECK(sink.bytes <= entry.size);
        KESTRUNE_FUZZ_CHECK(failure.has_value() || sink.bytes == entry.size);
    }
    return true;
}

} // namespace Kestrune::Fuzzing
