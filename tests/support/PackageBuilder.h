#pragma once

// Builders that write packages in memory, field by field, so that every test
// fixture is readable in the test that uses it. The layouts' numbers are
// written out here as literals on purpose: a wrong constant in the engine must
// not be mirrored by the fixtures.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Kestrune::Testing {

// Appends little-endian fields to a byte string.
class Bytes {
public:
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

} // namespace Kestrune::Testing
