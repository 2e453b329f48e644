#pragma once

// IoStore containers (.utoc and its .ucas partitions) written in memory,
// field by field, for round trips and hostile rows. Literal numbers on
// purpose (see PackageBuilder.h): the fixtures must not share the reader's
// constants.

#include "UnrealPakBuilder.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace Kestrune::Testing {

struct IoChunk {
    std::string path; // relative to the mount point; empty: not in the directory index
    std::string content;
    std::uint8_t type = 2; // BulkData in the UE5 numbering
};

struct IoStoreLayout {
    std::uint8_t version = 8;
    std::string method = "None"; // every block's: None, Zlib, LZ4, Zstd, Oodle, or any name
    std::uint32_t blockSize = 256;
    std::uint64_t partitionSize = 0; // 0: one partition of unlimited size (version 3+)
    std::string mount = "../../../Proj/Content/";
    bool indexed = true;
    std::uint8_t cipher = 0; // 0 none, 1 AES-ECB, 2 AES-CTR (version 10)
    std::optional<TestAesKey> key;
    std::array<std::uint32_t, 4> guid{0x11223344, 0x55667788, 0x99AABBCC, 0xDDEEFF00};
    bool gaps = true; // chunks start on 2 KiB boundaries of the .ucas, as real ones often do
    // Changes the plain directory index or the whole TOC after it is written.
    std::function<void(std::string&)> editIndex;
    std::function<void(std::string&)> editToc;
};

struct IoStoreFiles {
    std::string toc;
    std::vector<std::string> partitions; // X.ucas, X_s1.ucas, ...
    std::uint64_t indexOffset = 0;       // of the directory index in the TOC
    std::uint64_t blocksOffset = 0;      // of the compression block table in the TOC
};

IoStoreFiles BuildIoStore(const IoStoreLayout& layout, const std::vector<IoChunk>& chunks);

// Writes the container as `stem`.utoc with its partitions beside it.
void WriteIoStore(const std::string& stem, const IoStoreFiles& files);

} // namespace Kestrune::Testing
