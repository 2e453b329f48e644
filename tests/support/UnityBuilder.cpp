#include "UnityBuilder.h"

#include <cstring>
#include <lz4.h>
#include <lz4hc.h>
#include <lzma.h>
#include <stdexcept>
#include <zlib.h>

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

using Node = UnityObjectWriter::Node;

// The blob form (versions 10 and 12 on): "m_Name" and "int" through the
// common string table, the rest locally.
std::string BlobTree(const std::vector<Node>& nodes, std::uint32_t version) {
    Big strings, records;
    records.little = true;
    for (const Node& n : nodes) {
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

// The old form (versions 9 and 11): each node, then its child count and
// its children.
void OldTree(const std::vector<Node>& nodes, std::size_t& at, Big& out) {
    const Node& n = nodes[at++];
    out.cstr(n.type).cstr(n.name).u32(static_cast<std::uint32_t>(n.size)).u32(0);
    out.u32(n.array ? 1 : 0).u32(1).u32(static_cast<std::uint32_t>(n.meta));
    std::vector<std::size_t> children;
    for (std::size_t i = at; i < nodes.size() && nodes[i].level > n.level; ++i) {
        if (nodes[i].level == n.level + 1) {
            children.push_back(i);
        }
    }
    out.u32(children.size());
    for (std::size_t child = 0; child < children.size(); ++child) {
        OldTree(nodes, at, out);
    }
}

std::string Tree(const std::vector<Node>& nodes, std::uint32_t version) {
    if (version == 10 || version >= 12) {
        return BlobTree(nodes, version);
    }
    Big out;
    out.little = true;
    std::size_t at = 0;
    OldTree(nodes, at, out);
    return out.out;
}

} // namespace

UnityObjectWriter::UnityObjectWriter(std::string type) {
    nodes_.push_back({std::move(type), "Base", -1, 0});
    open_.push_back(0);
}

void UnityObjectWriter::Add(Node node) {
    node.level = static_cast<int>(open_.size());
    if (recordNodes_) {
        lastAtLevel_ = nodes_.size();
        nodes_.push_back(std::move(node));
    }
}

UnityObjectWriter& UnityObjectWriter::Value(std::string type, std::string name, int width,
                                            std::uint64_t bits) {
    Add({std::move(type), std::move(name), width, 0});
    if (writeBytes_) {
        for (int i = 0; i < width; ++i) {
            bytes_.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
        }
    }
    return *this;
}

UnityObjectWriter& UnityObjectWriter::F32(std::string name, float v) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &v, 4);
    return Value("float", std::move(name), 4, bits);
}

UnityObjectWriter& UnityObjectWriter::Begin(std::string type, std::string name) {
    Add({std::move(type), std::move(name), -1, 0});
    open_.push_back(recordNodes_ ? nodes_.size() - 1 : 0);
    return *this;
}

UnityObjectWriter& UnityObjectWriter::End() {
    const std::size_t node = open_.back();
    open_.pop_back();
    if (recordNodes_) {
        lastAtLevel_ = node;
    }
    return *this;
}

UnityObjectWriter&
UnityObjectWriter::Array(std::string name, std::size_t count,
                         const std::function<void(UnityObjectWriter&, std::size_t)>& element,
                         std::string container) {
    Begin(std::move(container), std::move(name));
    Add({"Array", "Array", -1, 0, true});
    open_.push_back(recordNodes_ ? nodes_.size() - 1 : 0);
    I32("size", static_cast<std::int64_t>(count));
    const bool recorded = recordNodes_;
    const bool written = writeBytes_;
    if (count == 0) {
        // The element's nodes are in the tree even when no element is.
        writeBytes_ = false;
        element(*this, 0);
    }
    writeBytes_ = written;
    for (std::size_t i = 0; i < count; ++i) {
        recordNodes_ = recorded && i == 0;
        element(*this, i);
    }
    recordNodes_ = recorded;
    End();
    return End();
}

UnityObjectWriter& UnityObjectWriter::String(std::string name, std::string_view text) {
    Array(
        std::move(name), text.size(),
        [&](UnityObjectWriter& w, std::size_t i) {
            w.Value("char", "data", 1, text.empty() ? 0 : static_cast<unsigned char>(text[i]));
        },
        "string");
    return Align();
}

UnityObjectWriter& UnityObjectWriter::ByteArray(std::string name, std::string_view bytes,
                                                std::string element) {
    Array(std::move(name), bytes.size(), [&](UnityObjectWriter& w, std::size_t i) {
        w.Value(element, "data", 1, bytes.empty() ? 0 : static_cast<unsigned char>(bytes[i]));
    });
    return Align();
}

UnityObjectWriter& UnityObjectWriter::Typeless(std::string name, std::string_view bytes) {
    Begin("TypelessData", std::move(name));
    I32("size", static_cast<std::int64_t>(bytes.size()));
    Add({"UInt8", "data", 1, 0});
    End();
    if (writeBytes_) {
        bytes_.append(bytes);
    }
    return Align();
}

UnityObjectWriter& UnityObjectWriter::PPtr(std::string name, std::int32_t fileId,
                                           std::int64_t pathId) {
    Begin("PPtr<Object>", std::move(name));
    I32("m_FileID", fileId);
    I64("m_PathID", pathId);
    return End();
}

UnityObjectWriter& UnityObjectWriter::Align() {
    if (recordNodes_) {
        nodes_[lastAtLevel_].meta |= 0x4000;
    }
    if (writeBytes_) {
        while (bytes_.size() % 4 != 0) {
            bytes_.push_back('\0');
        }
    }
    return *this;
}

namespace {

// Writes values through a layout, little-endian, taking each from the
// same-named field of a value read through the writer's own tree.
class LayoutWriter {
public:
    explicit LayoutWriter(const Unity::TypeTree& tree) : tree_(tree) {}
    std::string Write(const Unity::UnityValue& root) {
        Node(0, &root);
        return out_;
    }

private:
    using Value = Unity::UnityValue;
    void Put(std::uint64_t v, std::size_t width) {
        for (std::size_t i = 0; i < width; ++i) {
            out_.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
        }
    }
    void Align() { out_.resize((out_.size() + 3) / 4 * 4, '\0'); }
    void Primitive(const Unity::TypeTreeNode& node, std::size_t width, const Value* v) {
        double number = 0;
        std::uint64_t bits = 0;
        if (v != nullptr) {
            number = v->kind == Value::Kind::Float ? v->f
                     : v->kind == Value::Kind::Int ? static_cast<double>(v->i)
                                                   : static_cast<double>(v->u);
            bits = v->kind == Value::Kind::Int     ? static_cast<std::uint64_t>(v->i)
                   : v->kind == Value::Kind::Float ? static_cast<std::uint64_t>(v->f)
                                                   : v->u;
        }
        if (node.type == "float") {
            const auto f = static_cast<float>(number);
            std::uint32_t raw = 0;
            std::memcpy(&raw, &f, 4);
            bits = raw;
        } else if (node.type == "double") {
            std::memcpy(&bits, &number, 8);
        }
        Put(bits, width);
    }
    void Node(std::uint32_t index, const Value* v) {
        const Unity::TypeTreeNode& node = tree_.nodes[index];
        const std::uint32_t first = index + 1;
        const bool children = first < node.end;
        if (const auto width = Unity::PrimitiveSize(node.type); width && !children) {
            Primitive(node, *width, v);
        } else if (node.type == "string" || node.type == "TypelessData") {
            const auto bytes = v ? v->bytes : std::span<const unsigned char>{};
            Put(bytes.size(), 4);
            out_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
            if (children && (tree_.nodes[first].metaFlags & Unity::kMetaAlign) != 0) {
                Align();
            }
        } else if (node.isArray) {
            const std::uint32_t element = tree_.nodes[first].end;
            if (v != nullptr && v->kind == Value::Kind::PackedArray) {
                Put(v->count, 4);
                out_.append(reinterpret_cast<const char*>(v->bytes.data()), v->bytes.size());
            } else {
                const std::size_t count = v != nullptr ? v->items.size() : 0;
                Put(count, 4);
                for (std::size_t i = 0; i < count; ++i) {
                    Node(element, &v->items[i]);
                }
            }
        } else if (children && tree_.nodes[first].isArray && tree_.nodes[first].end == node.end) {
            Node(first, v);
        } else {
            for (std::uint32_t c = first; c < node.end; c = tree_.nodes[c].end) {
                Node(c, v != nullptr ? v->Field(tree_.nodes[c].name) : nullptr);
            }
        }
        if ((node.metaFlags & Unity::kMetaAlign) != 0) {
            Align();
        }
    }
    const Unity::TypeTree& tree_;
    std::string out_;
};

} // namespace

UnityObjectWriter UnityObjectWriter::InLayout(const Unity::TypeTree& layout) const {
    std::string keep;
    const Unity::TypeTree own = TreeOf(*this, keep);
    std::string why;
    const auto value = Unity::ReadObject(
        own, {reinterpret_cast<const unsigned char*>(bytes_.data()), bytes_.size()}, false, why);
    if (!value) {
        throw std::runtime_error("the object does not read through its own tree: " + why);
    }
    UnityObjectWriter out(std::string(layout.nodes[0].type));
    out.nodes_.clear();
    for (const Unity::TypeTreeNode& node : layout.nodes) {
        out.nodes_.push_back({std::string(node.type), std::string(node.name), node.byteSize,
                              node.level, node.isArray, node.metaFlags});
    }
    out.bytes_ = LayoutWriter(layout).Write(*value);
    return out;
}

Unity::TypeTree TreeOf(const UnityObjectWriter& writer, std::string& keep) {
    keep = BlobTree(writer.Nodes(), 19);
    Unity::Cursor in({reinterpret_cast<const unsigned char*>(keep.data()), keep.size()}, false);
    std::string why;
    auto tree = Unity::ReadBlobTypeTree(in, 32, why);
    if (!tree) {
        throw std::runtime_error("the writer's nodes are no type tree: " + why);
    }
    return std::move(*tree);
}

UnityTestObject
AssetBundleObject(const std::vector<std::pair<std::string, std::int64_t>>& container) {
    UnityObjectWriter w("AssetBundle");
    w.String("m_Name", "bundle");
    w.Array("m_PreloadTable", 1, [](UnityObjectWriter& e, std::size_t) { e.PPtr("data", 0, 0); });
    w.Array(
        "m_Container", container.size(),
        [&](UnityObjectWriter& e, std::size_t i) {
            const bool any = !container.empty();
            e.Begin("pair", "data");
            e.String("first", any ? container[i].first : "");
            e.Begin("AssetInfo", "second").I32("preloadIndex", 0).I32("preloadSize", 0);
            e.PPtr("asset", 0, any ? container[i].second : 0).End();
            e.End();
        },
        "map");
    return {142, 1, std::move(w)};
}

std::string BuildSerializedFileOf(std::uint32_t version,
                                  const std::vector<UnityTestObject>& objects, bool typeTrees,
                                  std::string_view unityVersion,
                                  const std::vector<std::string>& externals) {
    const std::uint32_t v = version;
    const std::size_t header = v >= 22 ? 48 : 20;
    // One type per class, in order of first use.
    std::vector<const UnityTestObject*> types;
    std::vector<std::uint32_t> typeOf;
    for (const UnityTestObject& object : objects) {
        std::size_t t = 0;
        while (t < types.size() && types[t]->classId != object.classId) {
            ++t;
        }
        if (t == types.size()) {
            types.push_back(&object);
        }
        typeOf.push_back(static_cast<std::uint32_t>(t));
    }
    Big meta;
    meta.little = true;
    meta.cstr(unityVersion).u32(5);
    if (v >= 13) {
        meta.u8(typeTrees ? 1 : 0);
    }
    if (!typeTrees && v < 13) {
        types.clear(); // Unity 4 players list no types: objects name their class
    }
    meta.u32(types.size());
    for (const UnityTestObject* type : types) {
        meta.u32(static_cast<std::uint32_t>(type->classId));
        if (v >= 16) {
            meta.u8(0);
        }
        if (v >= 17) {
            meta.u16(0xFFFF);
        }
        if (v >= 13) {
            if ((v >= 16 && type->classId == 114) || (v < 16 && type->classId < 0)) {
                meta.raw(std::string(16, '\0'));
            }
            meta.raw(std::string(16, '\0'));
        }
        if (typeTrees) {
            meta.raw(Tree(type->object.Nodes(), v));
            if (v >= 21) {
                meta.u32(0);
            }
        }
    }
    if (v < 14) {
        meta.u32(1); // path IDs of 64 bits
    }
    meta.u32(objects.size());
    std::string data;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        if (v >= 14) {
            while ((header + meta.out.size()) % 4 != 0) {
                meta.out.push_back('\0');
            }
        }
        meta.u64(static_cast<std::uint64_t>(objects[i].pathId));
        if (v >= 22) {
            meta.u64(data.size());
        } else {
            meta.u32(data.size());
        }
        meta.u32(objects[i].object.Bytes().size());
        const auto classId = static_cast<std::uint32_t>(objects[i].classId);
        meta.u32(v >= 16 ? typeOf[i] : classId);
        if (v < 16) {
            meta.u16(classId);
        }
        if (v < 11) {
            meta.u16(0);
        }
        if (v >= 11 && v < 17) {
            meta.u16(0xFFFF);
        }
        if (v == 15 || v == 16) {
            meta.u8(0);
        }
        data += objects[i].object.Bytes();
        data.resize((data.size() + 7) / 8 * 8, '\0');
    }
    meta.u32(0).u32(externals.size()); // no scripts
    for (const std::string& path : externals) {
        meta.cstr("").raw(std::string(16, '\0')).u32(0).cstr(path);
    }
    if (v >= 20) {
        meta.u32(0);
    }
    meta.cstr("");
    const std::size_t dataOffset = (header + meta.out.size() + 15) / 16 * 16;
    const std::size_t total = dataOffset + data.size();
    Big h;
    if (v >= 22) {
        h.u32(0).u32(0).u32(v).u32(0).u64(meta.out.size()).u64(total).u64(dataOffset).u8(0);
        h.raw(std::string(7, '\0'));
    } else {
        h.u32(meta.out.size()).u32(total).u32(v).u32(dataOffset).u8(0).raw(std::string(3, '\0'));
    }
    std::string file = h.out + meta.out;
    file.resize(dataOffset, '\0');
    return file + data;
}

std::string BuildSerializedFile(std::uint32_t version, bool typeTrees, std::string_view name,
                                std::string_view text, std::string_view container) {
    UnityObjectWriter asset("TextAsset");
    asset.String("m_Name", name).String("m_Script", text);
    return BuildSerializedFileOf(
        version, {{49, 7, std::move(asset)}, AssetBundleObject({{std::string(container), 7}})},
        typeTrees);
}

namespace {

void PutI32(std::string& out, std::int64_t value) {
    const auto v = static_cast<std::uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8) {
        out += static_cast<char>((v >> shift) & 0xFF);
    }
}

// Brotli's bits, least significant first within each byte.
class BitWriter {
public:
    void Put(std::uint32_t value, int count) {
        for (int i = 0; i < count; ++i) {
            if (used_ == 0) {
                bytes_ += '\0';
            }
            if ((value >> i) & 1U) {
                bytes_.back() = static_cast<char>(bytes_.back() | (1 << used_));
            }
            used_ = (used_ + 1) % 8;
        }
    }
    void Align() { used_ = 0; }
    void Bytes(std::string_view bytes) {
        Align();
        bytes_ += bytes;
    }
    const std::string& Out() const { return bytes_; }

private:
    std::string bytes_;
    int used_ = 0;
};

} // namespace

std::string BuildWebDataRaw(const std::vector<RawWebEntry>& entries, std::string_view data,
                            std::int64_t directoryLength) {
    std::string records;
    for (const RawWebEntry& entry : entries) {
        PutI32(records, entry.offset);
        PutI32(records, entry.size);
        PutI32(records, entry.nameLength != -1 ? entry.nameLength
                                               : static_cast<std::int32_t>(entry.name.size()));
        records += entry.name;
    }
    std::string out("UnityWebData1.0\0", 16);
    PutI32(out,
           directoryLength >= 0 ? directoryLength : static_cast<std::int64_t>(20 + records.size()));
    return out + records + std::string(data);
}

std::string BuildWebData(const std::vector<UnityNode>& files) {
    std::size_t directory = 20;
    for (const UnityNode& file : files) {
        directory += 12 + file.path.size();
    }
    std::vector<RawWebEntry> entries;
    std::string data;
    for (const UnityNode& file : files) {
        entries.push_back({static_cast<std::int32_t>(directory + data.size()),
                           static_cast<std::int32_t>(file.content.size()), file.path});
        data += file.content;
    }
    return BuildWebDataRaw(entries, data);
}

std::string GzipWhole(std::string_view bytes) {
    z_stream stream{};
    if (deflateInit2(&stream, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("deflateInit2");
    }
    std::string out(deflateBound(&stream, static_cast<uLong>(bytes.size())) + 64, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    if (deflate(&stream, Z_FINISH) != Z_STREAM_END) {
        throw std::runtime_error("deflate");
    }
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

std::string BrotliWhole(std::string_view bytes) {
    const std::string_view mark = "UnityWeb Compressed Content (brotli)";
    BitWriter bits;
    bits.Put(1, 1); // WBITS 17: 1, 000, 000
    bits.Put(0, 3);
    bits.Put(0, 3);
    bits.Put(0, 1); // ISLAST
    bits.Put(3, 2); // MNIBBLES 0: a metadata block
    bits.Put(0, 1); // reserved
    bits.Put(1, 2); // MSKIPBYTES
    bits.Put(static_cast<std::uint32_t>(mark.size() - 1), 8);
    bits.Bytes(mark);
    for (std::size_t at = 0; at < bytes.size(); at += 65536) {
        const std::string_view chunk = bytes.substr(at, 65536);
        bits.Put(0, 1); // ISLAST
        bits.Put(0, 2); // MNIBBLES 4
        bits.Put(static_cast<std::uint32_t>(chunk.size() - 1), 16);
        bits.Put(1, 1); // ISUNCOMPRESSED
        bits.Bytes(chunk);
    }
    bits.Put(1, 1); // ISLAST
    bits.Put(1, 1); // ISLASTEMPTY
    return bits.Out();
}

} // namespace Kestrune::Testing
