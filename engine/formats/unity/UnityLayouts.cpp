#include "UnityLayouts.h"

#include <array>
#include <cstddef>
#include <string>
#include <vector>
#include <zlib.h>

namespace Kestrune::Unity {
namespace {

#include "UnityLayouts.inc"

// The table's deepest layout has 23 levels; a tree walked deeper than this
// is a table that does not decode as written.
constexpr std::size_t kDepthLimit = 64;

struct Subtree {
    std::uint32_t type = 0, name = 0;
    std::int32_t byteSize = -1;
    std::uint8_t flags = 0;
    std::uint32_t firstChild = 0, childCount = 0; ///< into Table::children
};

struct Layout {
    std::int32_t classId = 0;
    std::uint32_t root = 0;
};

// An engine version as numbers that order it: major, minor, patch, release
// kind (alpha, beta, final, patch), build.
using VersionKey = std::array<std::uint32_t, 5>;

std::optional<VersionKey> ParseVersion(std::string_view text) {
    VersionKey key{};
    std::size_t at = 0;
    const auto number = [&](std::uint32_t& out) {
        const std::size_t start = at;
        std::uint64_t value = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 9) {
            value = value * 10 + static_cast<std::uint64_t>(text[at] - '0');
            ++at;
        }
        out = static_cast<std::uint32_t>(value);
        return at > start;
    };
    for (std::size_t part = 0; part < 3; ++part) {
        if (!number(key[part]) || (part < 2 && (at >= text.size() || text[at++] != '.'))) {
            return std::nullopt;
        }
    }
    key[3] = 2; // "3.4.0" without a suffix is a final release
    if (at < text.size()) {
        static constexpr std::string_view kKinds = "abfp";
        const std::size_t kind = kKinds.find(text[at]);
        if (kind == std::string_view::npos) {
            return std::nullopt;
        }
        key[3] = static_cast<std::uint32_t>(kind);
        ++at;
        number(key[4]); // a China build's "f1c1" orders by its first build
    }
    return key;
}

struct Table {
    std::vector<unsigned char> bytes;
    std::vector<std::string_view> strings;
    std::vector<Subtree> subtrees;
    std::vector<std::uint32_t> children;
    std::vector<Layout> layouts;
    std::vector<std::vector<std::uint32_t>> rows;
    struct Version {
        std::string_view name;
        VersionKey key;
        std::uint32_t row;
    };
    std::vector<Version> versions;
    bool ok = false;
};

class Reader {
public:
    explicit Reader(const std::vector<unsigned char>& bytes) : bytes_(bytes) {}
    bool ok() const { return ok_; }
    std::uint32_t Number() {
        std::uint64_t value = 0;
        for (unsigned shift = 0; shift < 35; shift += 7) {
            if (at_ >= bytes_.size()) {
                break;
            }
            const unsigned char byte = bytes_[at_++];
            value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
            if ((byte & 0x80) == 0) {
                return static_cast<std::uint32_t>(value);
            }
        }
        ok_ = false;
        return 0;
    }
    // A count of records of at least one byte each that the rest can hold.
    std::uint32_t Count() {
        const std::uint32_t count = Number();
        if (count > bytes_.size() - at_) {
            ok_ = false;
            return 0;
        }
        return count;
    }
    std::string_view Text() {
        const std::uint32_t length = Count();
        const auto* start = reinterpret_cast<const char*>(bytes_.data() + at_);
        at_ += length;
        return {start, length};
    }

private:
    const std::vector<unsigned char>& bytes_;
    std::size_t at_ = 0;
    bool ok_ = true;
};

Table Decode() {
    Table table;
    table.bytes.resize(kLayoutTableSize);
    uLongf size = kLayoutTableSize;
    if (uncompress(table.bytes.data(), &size, kLayoutTable, sizeof kLayoutTable) != Z_OK ||
        size != kLayoutTableSize) {
        return table;
    }
    Reader in(table.bytes);
    for (std::uint32_t i = 0, n = in.Count(); i < n; ++i) {
        table.strings.push_back(in.Text());
    }
    for (std::uint32_t i = 0, n = in.Count(); i < n && in.ok(); ++i) {
        Subtree& node = table.subtrees.emplace_back();
        node.type = in.Number();
        node.name = in.Number();
        node.byteSize = static_cast<std::int32_t>(in.Number()) - 1;
        node.flags = static_cast<std::uint8_t>(in.Number());
        node.childCount = in.Count();
        node.firstChild = static_cast<std::uint32_t>(table.children.size());
        if (node.type >= table.strings.size() || node.name >= table.strings.size()) {
            return table;
        }
        for (std::uint32_t c = 0; c < node.childCount; ++c) {
            const std::uint32_t child = in.Number();
            if (child >= i) { // children come first: no cycles
                return table;
            }
            table.children.push_back(child);
        }
    }
    for (std::uint32_t i = 0, n = in.Count(); i < n; ++i) {
        Layout& layout = table.layouts.emplace_back();
        layout.classId = static_cast<std::int32_t>(in.Number());
        layout.root = in.Number();
        if (layout.root >= table.subtrees.size()) {
            return table;
        }
    }
    for (std::uint32_t i = 0, n = in.Count(); i < n; ++i) {
        auto& row = table.rows.emplace_back();
        for (std::uint32_t l = 0, count = in.Count(); l < count; ++l) {
            row.push_back(in.Number());
            if (row.back() >= table.layouts.size()) {
                return table;
            }
        }
    }
    for (std::uint32_t i = 0, n = in.Count(); i < n; ++i) {
        const std::string_view name = in.Text();
        const std::uint32_t row = in.Number();
        const auto key = ParseVersion(name);
        if (!key || row >= table.rows.size()) {
            return table;
        }
        table.versions.push_back({name, *key, row});
    }
    table.ok = in.ok();
    return table;
}

const Table& TheTable() {
    static const Table table = Decode();
    return table;
}

bool Expand(const Table& table, std::uint32_t index, std::size_t level, TypeTree& tree) {
    if (level > kDepthLimit) {
        return false;
    }
    const Subtree& node = table.subtrees[index];
    TypeTreeNode& out = tree.nodes.emplace_back();
    out.type = table.strings[node.type];
    out.name = table.strings[node.name];
    out.byteSize = node.byteSize;
    out.isArray = (node.flags & 1) != 0;
    out.metaFlags = (node.flags & 2) != 0 ? kMetaAlign : 0;
    out.level = static_cast<std::uint8_t>(level);
    for (std::uint32_t c = 0; c < node.childCount; ++c) {
        if (!Expand(table, table.children[node.firstChild + c], level + 1, tree)) {
            return false;
        }
    }
    return true;
}

} // namespace

bool IsStrippedVersion(std::string_view version) {
    return version.empty() || version == "0.0.0";
}

std::optional<std::string_view> LayoutVersion(std::string_view version) {
    const Table& table = TheTable();
    const auto key = ParseVersion(version);
    if (!table.ok || !key || IsStrippedVersion(version)) {
        return std::nullopt;
    }
    const Table::Version* best = nullptr;
    for (const Table::Version& entry : table.versions) {
        if (entry.name == version) {
            return entry.name;
        }
        if (entry.key[0] == (*key)[0] && entry.key[1] == (*key)[1] && entry.key <= *key &&
            (best == nullptr || best->key < entry.key)) {
            best = &entry;
        }
    }
    if (best == nullptr) {
        return std::nullopt;
    }
    return best->name;
}

std::optional<TypeTree> LayoutTree(std::string_view layoutVersion, std::int32_t classId) {
    const Table& table = TheTable();
    for (const Table::Version& entry : table.versions) {
        if (entry.name != layoutVersion) {
            continue;
        }
        for (const std::uint32_t l : table.rows[entry.row]) {
            if (table.layouts[l].classId != classId) {
                continue;
            }
            TypeTree tree;
            std::string why;
            if (!Expand(table, table.layouts[l].root, 0, tree) || !LinkSubtrees(tree, why)) {
                return std::nullopt;
            }
            return tree;
        }
        return std::nullopt;
    }
    return std::nullopt;
}

} // namespace Kestrune::Unity
