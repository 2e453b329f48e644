#pragma once

// Unity bundles and serialized files written in memory for the tests. The
// layouts' numbers are literals here on purpose, as in PackageBuilder.h.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Kestrune::Testing {

// Block compression as Unity numbers it: 0 none, 1 LZMA, 2 LZ4, 3 LZ4HC.
struct UnityNode {
    std::string path;
    std::string content;
    std::uint32_t flags = 0; // 4: serialized file
};

struct UnityFsOptions {
    std::string signature = "UnityFS";
    std::uint32_t format = 6;
    std::string engine = "2018.4.4f1";
    std::uint32_t infoMethod = 0;
    std::uint32_t blockMethod = 3;
    std::uint32_t blockSize = 128 * 1024;
    bool infoAtEnd = false;
    std::uint32_t extraFlags = 0; // 0x200 padding (new engines), encryption bits
};

// Encodes `data` with Unity's block method (test-only encoders: liblz4, liblzma).
std::string EncodeUnityBlock(std::uint32_t method, std::string_view data);

// A format-6 UnityFS file from a block info (stored) and block bytes as given,
// for hostile tables; `declaredInfo` overrides the block info's stored size.
std::string BuildUnityFsRaw(std::string_view blockInfo, std::string_view blocks,
                            std::uint32_t declaredInfo = 0);
// Big-endian fields of a block info: hash, blocks {decoded, stored, flags},
// nodes {offset, size, flags, path}.
struct RawBlock {
    std::uint32_t decoded, stored;
    std::uint16_t flags;
};
struct RawNode {
    std::uint64_t offset, size;
    std::string path;
};
std::string RawBlockInfo(const std::vector<RawBlock>& blocks, const std::vector<RawNode>& nodes,
                         std::uint32_t declaredBlocks = 0);

std::string BuildUnityFs(const std::vector<UnityNode>& nodes, const UnityFsOptions& options = {});

// UnityRaw (stored) or UnityWeb (LZMA) of format 3.
std::string BuildUnityWeb(const std::vector<UnityNode>& nodes, bool compressed);

// A serialized file of `version` with one TextAsset (path ID 7, m_Name
// `name`, m_Script `text`) and an AssetBundle (path ID 1) whose m_Container
// maps `container` to it; with or without type trees.
std::string BuildSerializedFile(std::uint32_t version, bool typeTrees, std::string_view name,
                                std::string_view text, std::string_view container);

} // namespace Kestrune::Testing
