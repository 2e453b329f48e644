#pragma once

// ZIP archives written in memory, every method compressed by its own
// library (zlib, libbz2, liblzma, libzstd), with ZIP64 records, data
// descriptors, prefixes and comments on request.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Kestrune::Testing {

struct ZipFile {
    std::string name;
    std::string content;
    // 0 store, 8 deflate, 12 bzip2, 14 LZMA, 93 zstd, 95 XZ; any other
    // method stores `stored` (or the content) as it is.
    std::uint16_t method = 0;
    std::uint16_t flags = 0;             // added to the flags the builder sets
    bool descriptor = false;             // sizes and CRC after the stored bytes
    bool zip64 = false;                  // sizes and offset in ZIP64 extra fields
    std::optional<std::string> stored{}; // stored bytes other than the compressed content
    std::optional<std::uint32_t> crc{};  // a CRC-32 other than the content's
    std::string extra{};                 // extra fields, in both headers
    // The central record's local header offset, when it is to point
    // elsewhere than its own local header (as an overlapping entry does).
    std::optional<std::uint64_t> localOffset{};
    std::uint16_t time = 0x6000; // 12:00:00
    std::uint16_t date = 0x5821; // 2024-01-01
};

struct ZipLayout {
    std::string prefix;  // bytes before the archive, as a self-extractor's program
    std::string comment; // the archive comment
    bool zip64End = false;
    std::optional<std::uint64_t> declaredCount{}; // in every end record
};

// The stored bytes of `data` compressed with ZIP method `method`.
std::string ZipCompress(std::uint16_t method, std::string_view data);

std::string BuildZip(const std::vector<ZipFile>& files, const ZipLayout& layout = {});

} // namespace Kestrune::Testing
