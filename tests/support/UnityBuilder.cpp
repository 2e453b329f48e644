#include "UnityBuilder.h"

#include <lz4.h>
#include <lz4hc.h>
#include <lzma.h>
#include <stdexcept>

namespace Kestrune::Testing {
namespace {

class Big {
public:
    Big& u8(std::uint64_t v) { return put(v, 1); }
    Big& u16(std::uint64_t v) { return put(v, 2); }
    Big& u32(std::uint64_t v) { return put(v, 4); }
    Big& u64(std::uint64_t v) { return put(v, 8); }
    Big& cstr(std::string_view s) {
        out.append(s);
        out.push_back('\0');
        return *this;
    }
    Big& raw(std::string_view s) {
        out.append(s);
        return *this;
    }
    Big& align(std::size_t n) {
        while (out.size() % n != 0) {
            out.push_back('\0');
        }
        return *this;
    }
    bool little = false;
    std::string out;

private:
    Big& put(std::uint64_t v, int width) {
        for (int i = 0; i < width; ++i) {
            const int shift = little ? 8 * i : 8 * (width - 1 - i);
            out.push_back(static_cast<char>((v >> shift) & 0xFF));
        }
        return *this;
    }
};

std::string Lzma(std::string_view data, bool alone) {
    lzma_options_lzma opts;
    lzma_lzma_preset(&opts, 6);
    opts.dict_size = 1 << 16;
    lzma_stream stream = LZMA_STREAM_INIT;
    std::string props;
    if (alone) {
        if (lzma_alone_encoder(&stream, &opts) != LZMA_OK) {
            throw std::runtime_error("lzma");
        }
    } else {
        lzma_filter filters[] = {{LZMA_FILTER_LZMA1, &opts}, {LZMA_VLI_UNKNOWN, nullptr}};
        if (lzma_raw_encoder(&stream, filters) != LZMA_OK) {
            throw std::runtime_error("lzma");
        }
        std::uint32_t size = 0;
        lzma_properties_size(&size, filters);
        props.resize(size);
        lzma_properties_encode(filters, reinterpret_cast<std::uint8_t*>(props.data()));
    }
    std::string out(data.size() + data.size() / 2 + 1024, '\0');
    stream.next_in = reinterpret_cast<const std::uint8_t*>(data.data());
    stream.avail_in = data.size();
    stream.next_out = reinterpret_cast<std::uint8_t*>(out.data());
    stream.avail_out = out.size();
    if (lzma_code(&stream, LZMA_FINISH) != LZMA_STREAM_END) {
        throw std::runtime_error("lzma");
    }
    out.resize(stream.total_out);
    lzma_end(&stream);
    return props + out;
}

} // namespace

std::string EncodeUnityBlock(std::uint32_t method, std::string_view data) {
    if (method == 1) {
        return Lzma(data, false);
    }
    if (method == 2 || method == 3) {
        std::string out(static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(data.size()))),
                        '\0');
        const int n =
            method == 2
                ? LZ4_compress_default(data.data(), out.data(), static_cast<int>(data.size()),
                                       static_cast<int>(out.size()))
                : LZ4_compress_HC(data.data(), out.data(), static_cast<int>(data.size()),
                                  static_cast<int>(out.size()), 9);
        out.resize(static_cast<std::size_t>(n));
        return out;
    }
    return std::string(data);
}

std::string BuildUnityFs(const std::vector<UnityNode>& nodes, const UnityFsOptions& o) {
    std::string data;
    Big directory;
    for (const UnityNode& node : nodes) {
        directory.u64(data.size()).u64(node.content.size()).u32(node.flags).cstr(node.path);
        data += node.content;
    }
    Big info;
    info.raw(std::string(16, '\0'));
    std::string blocks;
    const std::size_t count =
        o.blockMethod == 1 ? 1 : (data.size() + o.blockSize - 1) / o.blockSize;
    info.u32(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::string_view part =
            o.blockMethod == 1 ? std::string_view(data)
                               : std::string_view(data).substr(i * o.blockSize, o.blockSize);
        const std::string coded = EncodeUnityBlock(o.blockMethod, part);
        info.u32(part.size())
            .u32(coded.size())
            .u16(o.blockMethod | (o.blockMethod == 1 ? 0x40 : 0));
        blocks += coded;
    }
    info.u32(nodes.size()).raw(directory.out);
    const std::string codedInfo = EncodeUnityBlock(o.infoMethod, info.out);
    const std::uint32_t flags = o.infoMethod | 0x40 | (o.infoAtEnd ? 0x80 : 0) |
                                (o.signature != "UnityFS" ? 0x100 : 0) | o.extraFlags;
    const auto header = [&](std::uint64_t total) {
        Big h;
        h.cstr(o.signature).u32(o.format).cstr("5.x.x").cstr(o.engine).u64(total);
        h.u32(codedInfo.size()).u32(info.out.size()).u32(flags);
        if (o.signature != "UnityFS") {
            h.u8(0);
        }
        if (o.format >= 7) {
            h.align(16);
        }
        return h.out;
    };
    const bool padded = (o.extraFlags & 0x200) != 0;
    const auto assemble = [&](std::uint64_t total) {
        std::string file = header(total);
        if (!o.infoAtEnd) {
            file += codedInfo;
        }
        if (padded) {
            file.resize((file.size() + 15) / 16 * 16, '\0');
        }
        file += blocks;
        if (o.infoAtEnd) {
            file += codedInfo;
        }
        return file;
    };
    return assemble(assemble(0).size());
}

std::string BuildUnityFsRaw(std::string_view blockInfo, std::string_view blocks,
                            std::uint32_t declaredInfo) {
    const auto build = [&](std::uint64_t total) {
        Big h;
        h.cstr("UnityFS").u32(6).cstr("5.x.x").cstr("2018.4.4f1").u64(total);
        h.u32(declaredInfo ? declaredInfo : blockInfo.size()).u32(blockInfo.size()).u32(0x40);
        return h.raw(blockInfo).raw(blocks).out;
    };
    return build(build(0).size());
}

std::string RawBlockInfo(const std::vector<RawBlock>& blocks, const std::vector<RawNode>& nodes,
                         std::uint32_t declaredBlocks) {
    Big info;
    info.raw(std::string(16, '\0')).u32(declaredBlocks ? declaredBlocks : blocks.size());
    for (const RawBlock& b : blocks) {
        info.u32(b.decoded).u32(b.stored).u16(b.flags);
    }
    info.u32(nodes.size());
    for (const RawNode& n : nodes) {
        info.u64(n.offset).u64(n.size).u32(0).cstr(n.path);
    }
    return info.out;
}

std::string BuildUnityWeb(const std::vector<UnityNode>& nodes, bool compressed) {
    Big directory;
    directory.u32(nodes.size());
    for (const UnityNode& node : nodes) {
        directory.cstr(node.path).u32(0).u32(node.content.size());
    }
    const std::size_t dirSize = (directory.out.size() + 3) / 4 * 4;
    Big real;
    real.u32(nodes.size());
    std::size_t at = dirSize;
    for (const UnityNode& node : nodes) {
        real.cstr(node.path).u32(at).u32(node.content.size());
        at += node.content.size();
    }
    real.align(4);
    for (const UnityNode& node : nodes) {
        real.raw(node.content);
    }
    const std::string payload = compressed ? Lzma(real.out, true) : real.out;
    Big h;
    h.cstr(compressed ? "UnityWeb" : "UnityRaw").u32(3).cstr("3.x.x").cstr("4.7.2f1");
    const std::size_t headerSize = (h.out.size() + 4 * 4 + 8 + 8 + 3) / 4 * 4;
    h.u32(payload.size()).u32(headerSize).u32(1).u32(1).u32(payload.size()).u32(real.out.size());
    h.u32(headerSize + payload.size()).u32(dirSize).align(4);
    return h.out + payload;
}

namespace {

struct Node {
    std::string type, name;
    int size;
    int level;
    bool array = false;
    int meta = 0;
};

void StringNodes(std::vector<Node>& t, std::string name, int level) {
    t.push_back({"string", std::move(name), -1, level});
    t.push_back({"Array", "Array", -1, level + 1, true, 0x4000});
    t.push_back({"int", "size", 4, level + 2});
    t.push_back({"char", "data", 1, level + 2});
}

void PPtrNodes(std::vector<Node>& t, std::string name, int level) {
    t.push_back({"PPtr<Object>", std::move(name), 12, level});
    t.push_back({"int", "m_FileID", 4, level + 1});
    t.push_back({"SInt64", "m_PathID", 8, level + 1});
}

std::string Tree(const std::vector<Node>& nodes, std::uint32_t version) {
    Big strings, records;
    records.little = true;
    for (const Node& n : nodes) {
        // "m_Name" and "int" through the common table, the rest locally.
        const auto ref = [&](const std::string& s) -> std::uint32_t {
            if (s == "m_Name") {
                return 0x80000000u | 427;
            }
            if (s == "int") {
                return 0x80000000u | 222;
            }
            const auto at = static_cast<std::uint32_t>(strings.out.size());
            strings.cstr(s);
            return at;
        };
        records.u16(1).u8(static_cast<std::uint64_t>(n.level)).u8(n.array ? 1 : 0);
        records.u32(ref(n.type)).u32(ref(n.name)).u32(static_cast<std::uint32_t>(n.size)).u32(0);
        records.u32(static_cast<std::uint32_t>(n.meta));
        if (version >= 19) {
            records.u64(0);
        }
    }
    Big out;
    out.little = true;
    out.u32(nodes.size()).u32(strings.out.size()).raw(records.out).raw(strings.out);
    return out.out;
}

} // namespace

std::string BuildSerializedFile(std::uint32_t version, bool typeTrees, std::string_view name,
                                std::string_view text, std::string_view container) {
    const auto str = [](Big& b, std::string_view s) { b.u32(s.size()).raw(s).align(4); };
    Big text1;
    text1.little = true;
    str(text1, name);
    str(text1, text);
    Big bundle;
    bundle.little = true;
    str(bundle, "bundle");
    bundle.u32(0).u32(1);
    str(bundle, container);
    bundle.u32(0).u32(0).u32(0).u64(7);
    std::vector<Node> textTree{{"TextAsset", "Base", -1, 0}};
    StringNodes(textTree, "m_Name", 1);
    StringNodes(textTree, "m_Script", 1);
    std::vector<Node> bundleTree{{"AssetBundle", "Base", -1, 0}};
    StringNodes(bundleTree, "m_Name", 1);
    bundleTree.push_back({"vector", "m_PreloadTable", -1, 1});
    bundleTree.push_back({"Array", "Array", -1, 2, true});
    bundleTree.push_back({"int", "size", 4, 3});
    PPtrNodes(bundleTree, "data", 3);
    bundleTree.push_back({"map", "m_Container", -1, 1});
    bundleTree.push_back({"Array", "Array", -1, 2, true});
    bundleTree.push_back({"int", "size", 4, 3});
    bundleTree.push_back({"pair", "data", -1, 3});
    StringNodes(bundleTree, "first", 4);
    bundleTree.push_back({"AssetInfo", "second", -1, 4});
    bundleTree.push_back({"int", "preloadIndex", 4, 5});
    bundleTree.push_back({"int", "preloadSize", 4, 5});
    PPtrNodes(bundleTree, "asset", 5);

    const std::size_t header = version >= 22 ? 48 : 20;
    Big meta;
    meta.little = true;
    meta.cstr("2019.4.0f1").u32(5).u8(typeTrees ? 1 : 0).u32(2);
    const std::pair<std::uint32_t, const std::vector<Node>*> types[] = {{49, &textTree},
                                                                        {142, &bundleTree}};
    for (const auto& [classId, tree] : types) {
        meta.u32(classId);
        if (version >= 16) {
            meta.u8(0);
        }
        if (version >= 17) {
            meta.u16(0xFFFF);
        }
        meta.raw(std::string(16, '\0'));
        if (typeTrees) {
            meta.raw(Tree(*tree, version));
            if (version >= 21) {
                meta.u32(0);
            }
        }
    }
    meta.u32(2);
    const std::string* datas[] = {&text1.out, &bundle.out};
    const std::int64_t ids[] = {7, 1};
    std::uint64_t start = 0;
    for (int i = 0; i < 2; ++i) {
        while ((header + meta.out.size()) % 4 != 0) {
            meta.out.push_back('\0');
        }
        meta.u64(static_cast<std::uint64_t>(ids[i]));
        if (version >= 22) {
            meta.u64(start);
        } else {
            meta.u32(start);
        }
        meta.u32(datas[i]->size());
        if (version >= 16) {
            meta.u32(static_cast<std::uint32_t>(i));
        } else {
            meta.u32(i == 0 ? 49 : 142).u16(i == 0 ? 49 : 142).u16(0xFFFF).u8(0);
        }
        start += (datas[i]->size() + 7) / 8 * 8;
    }
    meta.u32(0).u32(0);
    if (version >= 20) {
        meta.u32(0);
    }
    meta.cstr("");
    const std::size_t dataOffset = (header + meta.out.size() + 15) / 16 * 16;
    std::string data = text1.out;
    data.resize((data.size() + 7) / 8 * 8, '\0');
    data += bundle.out;
    const std::size_t total = dataOffset + data.size();
    Big h;
    if (version >= 22) {
        h.u32(0).u32(0).u32(version).u32(0).u64(meta.out.size()).u64(total).u64(dataOffset).u8(0);
        h.raw(std::string(7, '\0'));
    } else {
        h.u32(meta.out.size())
            .u32(total)
            .u32(version)
            .u32(dataOffset)
            .u8(0)
            .raw(std::string(3, '\0'));
    }
    std::string file = h.out + meta.out;
    file.resize(dataOffset, '\0');
    return file + data;
}

} // namespace Kestrune::Testing
