#pragma once

// Unity bundles and serialized files written in memory for the tests. The
// layouts' numbers are literals here on purpose, as in PackageBuilder.h.

#include "unity/TypeTree.h"

#include <algorithm>
#include <cstdint>
#include <functional>
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

// An object's type tree and its little-endian bytes, written together one
// field at a time. The tree is the one ReadObject walks: arrays as a
// container node over "Array" {int size, the element node "data"}, strings
// as such an array of char, each element's nodes recorded once.
class UnityObjectWriter {
public:
    explicit UnityObjectWriter(std::string type);

    UnityObjectWriter& Value(std::string type, std::string name, int width, std::uint64_t bits);
    UnityObjectWriter& I32(std::string name, std::int64_t v) {
        return Value("int", std::move(name), 4, static_cast<std::uint64_t>(v));
    }
    UnityObjectWriter& U32(std::string name, std::uint64_t v) {
        return Value("unsigned int", std::move(name), 4, v);
    }
    UnityObjectWriter& I64(std::string name, std::int64_t v) {
        return Value("SInt64", std::move(name), 8, static_cast<std::uint64_t>(v));
    }
    UnityObjectWriter& U8(std::string name, std::uint64_t v) {
        return Value("UInt8", std::move(name), 1, v);
    }
    UnityObjectWriter& Bool(std::string name, bool v) {
        return Value("bool", std::move(name), 1, v ? 1 : 0);
    }
    UnityObjectWriter& F32(std::string name, float v);
    UnityObjectWriter& String(std::string name, std::string_view text);
    // vector<UInt8> (or `element` "char"): kept as packed bytes by the reader.
    UnityObjectWriter& ByteArray(std::string name, std::string_view bytes,
                                 std::string element = "UInt8");
    // TypelessData: i32 length and the bytes, as Texture2D's "image data".
    UnityObjectWriter& Typeless(std::string name, std::string_view bytes);
    UnityObjectWriter& PPtr(std::string name, std::int32_t fileId, std::int64_t pathId);
    UnityObjectWriter& Begin(std::string type, std::string name);
    UnityObjectWriter& End();
    // `count` elements, each written by `element` (which writes one node
    // named "data"); `container` "vector" or "map".
    UnityObjectWriter& Array(std::string name, std::size_t count,
                             const std::function<void(UnityObjectWriter&, std::size_t)>& element,
                             std::string container = "vector");
    // Zero bytes to a multiple of 4, flagged on the field just written.
    UnityObjectWriter& Align();

    struct Node {
        std::string type, name;
        int size;
        int level;
        bool array = false;
        int meta = 0;
    };
    const std::vector<Node>& Nodes() const { return nodes_; }
    const std::string& Bytes() const { return bytes_; }
    // Keeps the first `size` bytes only: the object cut short.
    void Cut(std::size_t size) { bytes_.resize(std::min(size, bytes_.size())); }
    // The object written again in `layout` (a class layout of the engine's
    // table): each field takes the value of the same-named field of this
    // object, zero or empty where it has none; its nodes become the layout's.
    UnityObjectWriter InLayout(const Unity::TypeTree& layout) const;

private:
    void Add(Node node);
    std::vector<Node> nodes_;
    std::vector<std::size_t> open_; // index of each open struct's node
    std::string bytes_;
    std::size_t lastAtLevel_ = 0;
    bool recordNodes_ = true;
    bool writeBytes_ = true;
};

// `writer`'s nodes as the tree ReadObject walks, read back from the blob form
// a version 19 file stores: its names point into `keep`, which must outlive
// the tree unchanged. Throws when the nodes do not form a tree.
Unity::TypeTree TreeOf(const UnityObjectWriter& writer, std::string& keep);

struct UnityTestObject {
    std::int32_t classId;
    std::int64_t pathId;
    UnityObjectWriter object;
};

// The AssetBundle object (class 142, path ID 1) whose m_Container maps each
// path to the object of this file with that path ID.
UnityTestObject
AssetBundleObject(const std::vector<std::pair<std::string, std::int64_t>>& container);

// A serialized file of `version` (9 to 22) holding `objects`, with their type
// trees when `typeTrees`; objects of one class share the first one's tree.
// `externals` are the paths of the files its references name (file ID 1 is
// the first).
std::string BuildSerializedFileOf(std::uint32_t version,
                                  const std::vector<UnityTestObject>& objects,
                                  bool typeTrees = true,
                                  std::string_view unityVersion = "2019.4.0f1",
                                  const std::vector<std::string>& externals = {});

// A serialized file of `version` with one TextAsset (path ID 7, m_Name
// `name`, m_Script `text`) and an AssetBundle (path ID 1) whose m_Container
// maps `container` to it; with or without type trees.
std::string BuildSerializedFile(std::uint32_t version, bool typeTrees, std::string_view name,
                                std::string_view text, std::string_view container);

// A WebGL data container ("UnityWebData1.0") holding `files` (path and
// content) one after the other after the directory.
std::string BuildWebData(const std::vector<UnityNode>& files);

// One directory record of a WebGL container, raw, for hostile tables.
struct RawWebEntry {
    std::int32_t offset = 0;
    std::int32_t size = 0;
    std::string name;
    std::int32_t nameLength = -1; // -1: the name's length
};
// The signature, `directoryLength` (-1: the records' end) and the records,
// then `data`.
std::string BuildWebDataRaw(const std::vector<RawWebEntry>& entries, std::string_view data,
                            std::int64_t directoryLength = -1);

// `bytes` as one gzip member, compressed by zlib.
std::string GzipWhole(std::string_view bytes);

// `bytes` as a Brotli stream the way a Unity build writes a .data.br: its
// metadata block "UnityWeb Compressed Content (brotli)" first, then the
// bytes in uncompressed meta-blocks (no encoder needed).
std::string BrotliWhole(std::string_view bytes);

} // namespace Kestrune::Testing
