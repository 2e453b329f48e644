#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace Kestrune {

/// One entry of a package listing, as the package stores it.
struct ArchiveEntry {
    std::string name;                 ///< Raw bytes of the stored name, NUL bytes included.
    std::uint64_t offset = 0;         ///< First data byte, from the start of the package.
    std::uint64_t compressedSize = 0; ///< Bytes the entry occupies in the package, as stored.
    std::uint64_t size = 0;           ///< Bytes of content: what is listed and extracted.
    std::string compression = "None"; ///< Neither package kind stores a method.
    bool reservedFlag = false;
};

/// One entry as the index is being read, for listings too large to hold:
/// `name` refers to the reader's buffer and is valid only during the call
/// that receives it.
struct EntryView {
    std::string_view name;
    std::uint64_t offset = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
};

using EntryVisitor = std::function<void(const EntryView&)>;

/// Package kind, decided by the signature in the first four bytes.
enum class ArchiveType : std::uint32_t {
    Pak = 0,        ///< Opened, neither WAD nor VPK: taken to be a footer-indexed container.
    Vpk = 1,        ///< Starts with the VPK signature.
    Wad = 2,        ///< Starts with "IWAD" or "PWAD".
    OpenFailed = 4, ///< Could not be opened for reading as a file.
};

} // namespace Kestrune
