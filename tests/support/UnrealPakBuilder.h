#pragma once

// Unreal pak files of versions 1 to 15 written in memory, field by field, for
// round trips and hostile rows. Literal numbers on purpose (see
// PackageBuilder.h): the fixtures must not share the reader's constants.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace Kestrune::Testing {

using TestAesKey = std::array<unsigned char, 32>;

struct UnrealFile {
    std::string name; // relative to the mount point, as UTF-8
    std::string content;
    std::string method = "None"; // None, Zlib, Gzip, LZ4, Zstd, Oodle (or any name for v8+)
    bool encrypted = false;
    std::uint32_t blockSize = 65536;
    bool nonEncoded = false; // v10+: a record in the non-encoded list
    bool deleted = false;    // v6+: a tombstone
};

struct UnrealPakLayout {
    std::uint32_t version = 11;
    bool v8a = false; // version 8 with four name slots
    std::string mount = "../../../";
    bool encryptIndex = false;
    std::optional<TestAesKey> key; // encrypts what asks for it
    std::uint64_t seed = 0x1234;
    bool frozen = false; // v9
    // v13+: the classic full directory index instead of the flat, sorted one.
    bool classicDirectory = false;
    std::uint8_t encryptionMethod = 1; // v15
    bool corruptIndexHash = false;
    bool corruptDirectoryHash = false; // v10+: the full directory index's hash
    // v10+: the path hash of names with letters outside ASCII, lower-cased
    // as Unicode does (Latin-1 capitals here) instead of ASCII's A-Z only.
    bool unicodeLowerHash = false;
    // Changes the plain index (v10+: the primary index) or the full
    // directory index before they are hashed: hostile content with good hashes.
    std::function<void(std::string&)> editIndex;
    std::function<void(std::string&)> editDirectory;
    std::function<void(std::string&)> editPathHashIndex;
};

std::string BuildUnrealPak(const UnrealPakLayout& layout, const std::vector<UnrealFile>& files);

// Where the last build put its index (from the footer), for hostile rows.
struct UnrealPakRegions {
    std::uint64_t dataEnd = 0;
    std::uint64_t indexOffset = 0;
    std::uint64_t indexSize = 0;
};
UnrealPakRegions LastUnrealPakRegions();

// Compression and encryption as the tests need them, never the engine's.
std::string CompressForTest(const std::string& method, const std::string& raw);
void EncryptForTest(const TestAesKey& key, std::string& data); // length % 16 == 0

} // namespace Kestrune::Testing
