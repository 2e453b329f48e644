#pragma once

// Builders that write packages in memory, field by field, so that every test
// fixture is readable in the test that uses it. The layouts' numbers are
// written out here as literals on purpose: a wrong constant in the engine must
// not be mirrored by the fixtures.

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include <zlib.h>

namespace Kestrune::Testing {

// Appends little-endian fields to a byte string.
class Bytes {
public:
    Bytes& u16(std::uint16_t value) { return little(value, 2); }
    Bytes& u32(std::uint32_t value) { return little(value, 4); }
    Bytes& u64(std::uint64_t value) { return little(value, 8); }
    Bytes& raw(std::string_view bytes) {
        bytes_.append(bytes);
        return *this;
    }
    Bytes& fill(std::size_t count, char byte) {
        bytes_.append(count, byte);
        return *this;
    }
    const std::string& str() const { return bytes_; }
    std::uint64_t size() const { return bytes_.size(); }

private:
    Bytes& little(std::uint64_t value, int width) {
        for (int i = 0; i < width; ++i) {
            bytes_.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
        }
        return *this;
    }

    std::string bytes_;
};

struct PakRecord {
    std::string name;
    std::uint64_t offset = 0;
    std::uint64_t storedSize = 0;
    std::uint64_t size = 0;
};

// PAK container: data area, index, 44-byte footer.
class PakBuilder {
public:
    // Appends bytes to the data area and returns where they start.
    std::uint64_t data(std::string_view bytes) {
        const std::uint64_t offset = data_.size();
        data_.raw(bytes);
        return offset;
    }
    PakBuilder& record(PakRecord record) {
        records_.push_back(std::move(record));
        return *this;
    }
    // An entry whose data is `content`, stored in the data area.
    PakBuilder& add(std::string name, std::string_view content) {
        const std::uint64_t offset = data(content);
        return record({std::move(name), offset, content.size(), content.size()});
    }

    std::optional<std::uint32_t> declaredCount; // entry count other than the records'
    std::optional<std::uint64_t> indexOffset;   // footer index offset other than the real one
    std::uint32_t magic = 0x5A6F12E1;

    std::string index() const {
        Bytes index;
        index.u32(declaredCount.value_or(static_cast<std::uint32_t>(records_.size())));
        for (const PakRecord& r : records_) {
            index.u32(static_cast<std::uint32_t>(r.name.size())).raw(r.name);
            index.u64(r.offset).u64(r.storedSize).u64(r.size);
        }
        return index.str();
    }

    static std::string footer(std::uint32_t magic, std::uint64_t indexOffset,
                              std::uint64_t indexSize) {
        return Bytes().u32(magic).u32(8).u64(indexOffset).u64(indexSize).fill(20, '\xAB').str();
    }

    std::string build() const {
        const std::string idx = index();
        return data_.str() + idx + footer(magic, indexOffset.value_or(data_.size()), idx.size());
    }

private:
    Bytes data_;
    std::vector<PakRecord> records_;
};

// WAD file: 12-byte header, lump data, then the 16-byte directory records.
class WadBuilder {
public:
    // `nameField` is written into the 8-byte name field, padded with NUL bytes.
    WadBuilder& lump(std::string_view nameField, std::string_view content) {
        lumps_.push_back({std::string(nameField), std::string(content)});
        return *this;
    }

    std::string signature = "PWAD";
    std::optional<std::uint32_t> declaredCount;
    std::optional<std::uint32_t> directoryOffset;

    std::string build() const {
        Bytes data;
        std::vector<std::uint32_t> positions;
        for (const Lump& l : lumps_) {
            positions.push_back(static_cast<std::uint32_t>(12 + data.size()));
            data.raw(l.content);
        }
        Bytes directory;
        for (std::size_t i = 0; i < lumps_.size(); ++i) {
            std::string field = lumps_[i].nameField;
            field.resize(8, '\0');
            directory.u32(positions[i])
                .u32(static_cast<std::uint32_t>(lumps_[i].content.size()))
                .raw(field);
        }
        Bytes wad;
        wad.raw(signature)
            .u32(declaredCount.value_or(static_cast<std::uint32_t>(lumps_.size())))
            .u32(directoryOffset.value_or(static_cast<std::uint32_t>(12 + data.size())));
        return wad.str() + data.str() + directory.str();
    }

private:
    struct Lump {
        std::string nameField;
        std::string content;
    };
    std::vector<Lump> lumps_;
};

// "PACK" file: 12-byte header, entry data, then 64-byte directory records.
class PackBuilder {
public:
    PackBuilder& add(std::string_view name, std::string_view content) {
        std::string field(name);
        field.resize(56, '\0');
        directory_.raw(field)
            .u32(static_cast<std::uint32_t>(12 + data_.size()))
            .u32(static_cast<std::uint32_t>(content.size()));
        data_.raw(content);
        return *this;
    }

    std::optional<std::uint32_t> directoryLength; // other than the records'

    std::string build() const {
        Bytes pack;
        pack.raw("PACK")
            .u32(static_cast<std::uint32_t>(12 + data_.size()))
            .u32(directoryLength.value_or(static_cast<std::uint32_t>(directory_.size())));
        return pack.str() + data_.str() + directory_.str();
    }

private:
    Bytes data_;
    Bytes directory_;
};

// VPK directory file (version 1 or 2) and its numbered part files.
class VpkBuilder {
public:
    static constexpr std::uint16_t kInDirectoryFile = 0x7FFF;

    static std::uint32_t Crc32(std::string_view bytes) {
        return static_cast<std::uint32_t>(::crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()),
                                                  static_cast<uInt>(bytes.size())));
    }

    // An entry "path/name.ext" (a path or extension of " " means none) whose
    // first `preload` bytes of `content` are kept in the tree and the rest in
    // `archive`: the data area after the tree, or part file number `archive`.
    VpkBuilder& add(std::string_view path, std::string_view name, std::string_view ext,
                    std::string_view content, std::uint16_t preload = 0,
                    std::uint16_t archive = kInDirectoryFile) {
        File file;
        file.name = std::string(name);
        file.preload = std::string(content.substr(0, preload));
        file.archive = archive;
        const std::string_view rest = content.substr(file.preload.size());
        std::string& store = archive == kInDirectoryFile ? embedded_ : parts_[archive];
        file.offset = static_cast<std::uint32_t>(store.size());
        file.length = static_cast<std::uint32_t>(rest.size());
        store.append(rest);
        file.crc = Crc32(content);
        std::vector<File>& files = group(std::string(ext), std::string(path));
        files.push_back(std::move(file));
        last_ = &files;
        return *this;
    }
    // Changes the CRC32 stored for the last entry added.
    VpkBuilder& crc(std::uint32_t value) {
        last_->back().crc = value;
        return *this;
    }

    std::uint32_t version = 2;
    std::optional<std::uint32_t> treeSize; // other than the tree's own

    std::string tree() const {
        Bytes tree;
        for (const auto& [ext, paths] : tree_) {
            tree.raw(ext).raw(std::string_view("\0", 1));
            for (const auto& [path, files] : paths) {
                tree.raw(path).raw(std::string_view("\0", 1));
                for (const File& f : files) {
                    tree.raw(f.name).raw(std::string_view("\0", 1));
                    tree.u32(f.crc).u16(static_cast<std::uint16_t>(f.preload.size()));
                    tree.u16(f.archive).u32(f.offset).u32(f.length).u16(0xFFFF).raw(f.preload);
                }
                tree.raw(std::string_view("\0", 1));
            }
            tree.raw(std::string_view("\0", 1));
        }
        tree.raw(std::string_view("\0", 1));
        return tree.str();
    }

    // The directory file: header, tree, then the data kept in it.
    std::string build() const {
        const std::string t = tree();
        Bytes vpk;
        vpk.u32(0x55AA1234)
            .u32(version)
            .u32(treeSize.value_or(static_cast<std::uint32_t>(t.size())));
        if (version == 2) {
            vpk.u32(static_cast<std::uint32_t>(embedded_.size())).u32(0).u32(0).u32(0);
        }
        return vpk.str() + t + embedded_;
    }
    // The part files' bytes, by number.
    const std::map<std::uint16_t, std::string>& parts() const { return parts_; }

private:
    struct File {
        std::string name;
        std::uint32_t crc = 0;
        std::string preload;
        std::uint16_t archive = kInDirectoryFile;
        std::uint32_t offset = 0;
        std::uint32_t length = 0;
    };
    using Paths = std::vector<std::pair<std::string, std::vector<File>>>;

    std::vector<File>& group(const std::string& ext, const std::string& path) {
        auto e = std::find_if(tree_.begin(), tree_.end(), [&](auto& x) { return x.first == ext; });
        if (e == tree_.end()) {
            e = tree_.insert(tree_.end(), {ext, {}});
        }
        auto p = std::find_if(e->second.begin(), e->second.end(),
                              [&](auto& x) { return x.first == path; });
        if (p == e->second.end()) {
            p = e->second.insert(e->second.end(), {path, {}});
        }
        return p->second;
    }

    std::vector<std::pair<std::string, Paths>> tree_;
    std::vector<File>* last_ = nullptr; // the group of the last entry added, until the next add
    std::string embedded_;
    std::map<std::uint16_t, std::string> parts_;
};

} // namespace Kestrune::Testing
