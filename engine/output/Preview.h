#pragma once

#include "ArchiveEntry.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Kestrune {

/// One entry that would not be extracted whole, with the reason --extract
/// would give for it.
struct DamagedEntry {
    std::uint64_t index = 0;
    std::string_view name; ///< Valid only during the call that receives it.
    std::string reason;
};

/// What checking every entry of a package found.
struct PackageCheck {
    bool opened = false;                  ///< The package opened for reading.
    PackageKind kind = PackageKind::None; ///< None: no directory the tool reads.
    std::uint64_t entryCount = 0;         ///< Entries listed.
    std::uint64_t damagedCount = 0;       ///< Entries handed to the damage callback.
    std::uint64_t sharingEntries = 0;     ///< Entries whose bytes overlap another entry's.
    std::uint64_t bytesExtracted = 0;     ///< Bytes an extraction would write.
    std::uint64_t bytesStored = 0;        ///< Distinct bytes of the package's files they come from.
    /// Damage to the package as a whole (DirectoryWalk::damage), not to one entry.
    std::vector<std::string> packageDamage;
};

using DamageCallback = std::function<void(const DamagedEntry&)>;

/// One entry of a listing with the file name --extract gives it inside DIR;
/// nullopt when no safe file name exists for it.
using NamedEntryVisitor =
    std::function<void(const EntryView& entry, const std::optional<std::string>& outputName)>;

/// Receives an entry's content piece by piece; false stops the copy (the
/// destination failed).
using ContentWriter = std::function<bool(const unsigned char* data, std::size_t length)>;

/// What copying one entry's content to a writer did.
struct EntryCopy {
    bool packageOpened = false;
    bool found = false;                 ///< An entry of that name is listed.
    std::optional<std::string> failure; ///< Why the content did not arrive whole.
    bool writerFailed = false;          ///< The failure was the writer's.
};

} // namespace Kestrune
