// Writes the packages the benchmark script measures, reproducibly from a seed,
// together with what each one must yield: an uncompressed tar holding the same
// files under the same output names (the peer that GNU tar unpacks), the raw
// bytes of a large entry (the peer that cp copies), or the exact listing text.
//
//   kestrune_bench_data pak-files   COUNT SEED OUT.pak OUT.tar
//   kestrune_bench_data pak-files-4k COUNT SEED OUT.pak OUT.tar (entries of 4 KiB)
//   kestrune_bench_data pak-listing COUNT SEED OUT.pak OUT.txt
//   kestrune_bench_data pak-large   BYTES SEED OUT.pak OUT.tar OUT.bin
//   kestrune_bench_data pak-assets  BYTES SEED OUT.pak
//   kestrune_bench_data wad-lumps   COUNT SEED OUT.wad OUT.tar
//   kestrune_bench_data pak-repeats COUNT SEED OUT.pak OUT.tar
//   kestrune_bench_data vpk-listing COUNT SEED OUT_dir.vpk OUT.txt
//   kestrune_bench_data vpk-files   COUNT SEED OUT_dir.vpk OUT.tar
//
// vpk-listing writes a single-file VPK (version 2, all data after the tree);
// vpk-files a VPK directory whose data lies in the parts OUT_000.vpk and
// OUT_001.vpk beside it, some of it in preload bytes.
//
// The layouts are written out here independently of the engine, so that the
// benchmark also checks that the tool reads what a packer writes.

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>
#include <zlib.h>

namespace {

// splitmix64: small, fast and the same on every platform.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint64_t Below(std::uint64_t bound) { return Next() % bound; }
    void Fill(unsigned char* out, std::size_t length) {
        while (length >= 8) {
            const std::uint64_t value = Next();
            std::memcpy(out, &value, 8);
            out += 8;
            length -= 8;
        }
        if (length > 0) {
            const std::uint64_t value = Next();
            std::memcpy(out, &value, length);
        }
    }

private:
    std::uint64_t state_;
};

// Buffered binary output file that fails loudly: a short benchmark file would
// silently measure the wrong thing.
class OutputFile {
public:
    explicit OutputFile(const std::string& path)
        : path_(path), file_(std::fopen(path.c_str(), "wb")) {
        if (file_ == nullptr) {
            throw std::runtime_error("cannot create " + path);
        }
        std::setvbuf(file_, nullptr, _IOFBF, 1 << 20);
    }
    ~OutputFile() {
        if (file_ != nullptr) {
            std::fclose(file_);
        }
    }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void Write(const void* data, std::size_t length) {
        if (length != 0 && std::fwrite(data, 1, length, file_) != length) {
            throw std::runtime_error("cannot write " + path_);
        }
        position_ += length;
    }
    void Write(std::string_view text) { Write(text.data(), text.size()); }
    void U32(std::uint32_t value) { Little(value, 4); }
    void U64(std::uint64_t value) { Little(value, 8); }
    std::uint64_t Position() const { return position_; }
    void Close() {
        const bool failed = std::fclose(file_) != 0;
        file_ = nullptr;
        if (failed) {
            throw std::runtime_error("cannot write " + path_);
        }
    }

private:
    void Little(std::uint64_t value, int width) {
        unsigned char bytes[8];
        for (int i = 0; i < width; ++i) {
            bytes[i] = static_cast<unsigned char>(value >> (8 * i));
        }
        Write(bytes, static_cast<std::size_t>(width));
    }

    std::string path_;
    std::FILE* file_;
    std::uint64_t position_ = 0;
};

// ustar archive of regular files, written member by member.
class TarWriter {
public:
    explicit TarWriter(const std::string& path) : out_(path) {}

    void Begin(const std::string& name, std::uint64_t size) {
        if (name.empty() || name.size() > 100) {
            throw std::runtime_error("tar member name unsuitable for ustar: " + name);
        }
        std::array<char, 512> header{};
        std::memcpy(header.data(), name.data(), name.size());
        Octal(header.data() + 100, 8, 0644);
        Octal(header.data() + 108, 8, 0);
        Octal(header.data() + 116, 8, 0);
        Octal(header.data() + 124, 12, size);
        Octal(header.data() + 136, 12, 1700000000);
        header[156] = '0';
        std::memcpy(header.data() + 257, "ustar", 6);
        std::memcpy(header.data() + 263, "00", 2);
        std::memcpy(header.data() + 265, "root", 4);
        std::memcpy(header.data() + 297, "root", 4);
        std::memset(header.data() + 148, ' ', 8);
        unsigned sum = 0;
        for (const char c : header) {
            sum += static_cast<unsigned char>(c);
        }
        Octal(header.data() + 148, 7, sum);
        out_.Write(header.data(), header.size());
        pending_ = size;
    }
    void Data(const void* data, std::size_t length) {
        out_.Write(data, length);
        pending_ -= length;
    }
    void End() {
        static const std::array<char, 512> zeros{};
        if (pending_ != 0) {
            throw std::logic_error("tar member written short");
        }
        const std::uint64_t partial = out_.Position() % 512;
        if (partial != 0) {
            out_.Write(zeros.data(), 512 - partial);
        }
    }
    void Close() {
        static const std::array<char, 1024> zeros{};
        out_.Write(zeros.data(), zeros.size());
        out_.Close();
    }

private:
    // Zero-padded octal digits in width - 1 bytes, then NUL.
    static void Octal(char* field, int width, std::uint64_t value) {
        for (int i = width - 2; i >= 0; --i) {
            field[i] = static_cast<char>('0' + (value & 7));
            value >>= 3;
        }
        field[width - 1] = '\0';
    }

    OutputFile out_;
    std::uint64_t pending_ = 0;
};

struct Record {
    std::string name;
    std::uint64_t offset;
    std::uint64_t size;
};

void WritePakIndex(OutputFile& pak, const std::vector<Record>& records) {
    const std::uint64_t indexOffset = pak.Position();
    pak.U32(static_cast<std::uint32_t>(records.size()));
    for (const Record& r : records) {
        pak.U32(static_cast<std::uint32_t>(r.name.size()));
        pak.Write(r.name);
        pak.U64(r.offset);
        pak.U64(r.size);
        pak.U64(r.size);
    }
    const std::uint64_t indexSize = pak.Position() - indexOffset;
    pak.U32(0x5A6F12E1);
    pak.U32(8);
    pak.U64(indexOffset);
    pak.U64(indexSize);
    const std::string reserved(20, '\xAB');
    pak.Write(reserved);
}

std::string Padded(std::uint64_t value, int width) {
    std::string digits = std::to_string(value);
    if (static_cast<int>(digits.size()) < width) {
        digits.insert(0, static_cast<std::size_t>(width) - digits.size(), '0');
    }
    return digits;
}

// A nested name of the kind game packages hold; `serial` keeps it unique.
std::string AssetName(Random& random, std::uint64_t serial, int digits) {
    static constexpr std::array<const char*, 5> kKinds = {"textures", "sounds", "models", "maps",
                                                          "scripts"};
    static constexpr std::array<const char*, 5> kStems = {"wall_", "sfx_", "prop_", "zone_",
                                                          "logic_"};
    static constexpr std::array<const char*, 5> kExtensions = {".png", ".wav", ".mdl", ".bsp",
                                                               ".lua"};
    const auto kind = static_cast<std::size_t>(random.Below(kKinds.size()));
    return std::string(kKinds[kind]) + "/level" + Padded(serial / 1000 % 100, 2) + "/" +
           kStems[kind] + Padded(serial, digits) + kExtensions[kind];
}

std::string Flattened(std::string name) {
    for (char& c : name) {
        if (c == '/') {
            c = '_';
        }
    }
    return name;
}

// Output names after collision renaming: the first entry with a flattened name
// keeps it; each later one gets "~N" (N its occurrence number, raised until
// the name is free) before the last "." unless that "." starts the name. The
// search resumes where the last one for the same name stopped: every number
// below that was taken then and still is.
std::vector<std::string> OutputNames(const std::vector<std::string>& names) {
    std::vector<std::string> flat;
    flat.reserve(names.size());
    std::unordered_set<std::string> taken;
    for (const std::string& name : names) {
        flat.push_back(Flattened(name));
        taken.insert(flat.back());
    }
    std::unordered_map<std::string, std::uint64_t> seen;
    std::unordered_map<std::string, std::uint64_t> lastNumber;
    std::vector<std::string> out;
    out.reserve(names.size());
    for (const std::string& name : flat) {
        const std::uint64_t occurrence = ++seen[name];
        if (occurrence == 1) {
            out.push_back(name);
            continue;
        }
        const std::size_t dot = name.rfind('.');
        const bool beforeDot = dot != std::string::npos && dot != 0;
        std::uint64_t& last = lastNumber[name];
        for (std::uint64_t n = std::max(occurrence, last + 1);; ++n) {
            std::string suffix(1, '~');
            suffix += std::to_string(n);
            std::string candidate =
                beforeDot ? name.substr(0, dot) + suffix + name.substr(dot) : name + suffix;
            if (taken.insert(candidate).second) {
                out.push_back(std::move(candidate));
                last = n;
                break;
            }
        }
    }
    return out;
}

void AppendNumber(std::string& out, std::uint64_t value, int base) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value, base);
    out.append(digits, result.ptr);
}

// A PAK of `names.size()` entries of `ContentSize` random bytes each, and the
// tar of the same files under `outputNames`, the names extraction gives them.
template <std::size_t ContentSize>
void WritePakWithTar(const std::vector<std::string>& names,
                     const std::vector<std::string>& outputNames, Random& random,
                     const std::string& pakPath, const std::string& tarPath) {
    OutputFile pak(pakPath);
    TarWriter tar(tarPath);
    std::vector<Record> records;
    records.reserve(names.size());
    std::array<unsigned char, ContentSize> content{};
    for (std::size_t i = 0; i < names.size(); ++i) {
        Record r{names[i], pak.Position(), content.size()};
        random.Fill(content.data(), content.size());
        pak.Write(content.data(), content.size());
        tar.Begin(outputNames[i], r.size);
        tar.Data(content.data(), content.size());
        tar.End();
        records.push_back(std::move(r));
    }
    WritePakIndex(pak, records);
    pak.Close();
    tar.Close();
}

// COUNT entries of 1 KiB (or contentSize: 4 KiB) with nested names, and the tar of the same files.
void WritePakFiles(std::uint64_t count, Random& random, const std::string& pakPath,
                   const std::string& tarPath, std::size_t contentSize = 1024) {
    std::vector<std::string> names;
    std::vector<std::string> outputNames;
    names.reserve(count);
    outputNames.reserve(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        names.push_back(AssetName(random, i, 5));
        outputNames.push_back(Flattened(names.back()));
    }
    if (contentSize == 4096) {
        WritePakWithTar<4096>(names, outputNames, random, pakPath, tarPath);
    } else {
        WritePakWithTar<1024>(names, outputNames, random, pakPath, tarPath);
    }
}

void WritePakListing(std::uint64_t count, Random& random, const std::string& pakPath,
                     const std::string& listingPath) {
    OutputFile pak(pakPath);
    std::vector<Record> records;
    records.reserve(count);
    std::array<unsigned char, 32> content{};
    for (std::uint64_t i = 0; i < count; ++i) {
        Record r{AssetName(random, i, 7), pak.Position(), random.Below(content.size())};
        random.Fill(content.data(), static_cast<std::size_t>(r.size));
        pak.Write(content.data(), static_cast<std::size_t>(r.size));
        records.push_back(std::move(r));
    }
    WritePakIndex(pak, records);
    pak.Close();

    OutputFile listing(listingPath);
    std::string text = "Package: " + pakPath + " (" + std::to_string(count) + " files):\n";
    for (const Record& r : records) {
        text += "  - [";
        AppendNumber(text, r.size, 10);
        text += " B] " + r.name + " (Offset: 0x";
        AppendNumber(text, r.offset, 16);
        text += ")\n";
    }
    listing.Write(text);
    listing.Close();
}

// One entry of BYTES bytes; its raw bytes and a tar holding it.
void WritePakLarge(std::uint64_t bytes, Random& random, const std::string& pakPath,
                   const std::string& tarPath, const std::string& rawPath) {
    const std::string name = "movies/intro/cinematic_4k.bik";
    OutputFile pak(pakPath);
    OutputFile raw(rawPath);
    TarWriter tar(tarPath);
    tar.Begin(Flattened(name), bytes);
    std::vector<unsigned char> chunk(1 << 20);
    for (std::uint64_t done = 0; done < bytes;) {
        const auto step =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), bytes - done));
        random.Fill(chunk.data(), step);
        pak.Write(chunk.data(), step);
        raw.Write(chunk.data(), step);
        tar.Data(chunk.data(), step);
        done += step;
    }
    tar.End();
    WritePakIndex(pak, {{name, 0, bytes}});
    pak.Close();
    raw.Close();
    tar.Close();
}

// Fills `out` with bytes that compress about as game assets do (zlib at
// level 6 takes them to roughly a third): words of a small vocabulary with
// numbers between them, and now and then a run of random bytes.
void FillCompressible(Random& random, unsigned char* out, std::size_t length) {
    static constexpr std::array<std::string_view, 16> kWords = {
        "vertex ", "normal ", "texcoord ", "material ", "\"name\": ", "{ ",     "} ",    "[ ",
        "] ",      "0.0 ",    "1.0 ",      "-1.0 ",     "\n",         "index ", "bone ", "weight "};
    std::size_t at = 0;
    while (at < length) {
        std::string_view piece;
        char digits[20];
        const std::uint64_t pick = random.Below(24);
        if (pick < kWords.size()) {
            piece = kWords[static_cast<std::size_t>(pick)];
        } else if (pick < 22) {
            const auto end = std::to_chars(digits, digits + sizeof digits, random.Below(100000));
            piece = std::string_view(digits, static_cast<std::size_t>(end.ptr - digits));
        } else {
            random.Fill(reinterpret_cast<unsigned char*>(digits), 8);
            piece = std::string_view(digits, 8);
        }
        const std::size_t n = std::min(piece.size(), length - at);
        std::memcpy(out + at, piece.data(), n);
        at += n;
    }
}

// BYTES of assets of 64 KiB to 4 MiB each whose bytes compress (above), as
// the entries of a compressed game package hold them.
void WritePakAssets(std::uint64_t bytes, Random& random, const std::string& pakPath) {
    OutputFile pak(pakPath);
    std::vector<Record> records;
    std::vector<unsigned char> content;
    for (std::uint64_t done = 0; done < bytes;) {
        const std::uint64_t size =
            std::min<std::uint64_t>(bytes - done, (64 << 10) + random.Below(4 << 20));
        content.resize(static_cast<std::size_t>(size));
        FillCompressible(random, content.data(), content.size());
        records.push_back({AssetName(random, records.size(), 6), done, size});
        pak.Write(content.data(), content.size());
        done += size;
    }
    WritePakIndex(pak, records);
    pak.Close();
}

// COUNT lumps laid out like the maps of a megawad: every map repeats the same
// lump names, map markers repeat every 100 maps, other lumps are unique. One
// lump is named like a renamed duplicate, which moves the later duplicates on.
void WriteWadLumps(std::uint64_t count, Random& random, const std::string& wadPath,
                   const std::string& tarPath) {
    static constexpr std::array<const char*, 10> kMapLumps = {
        "THINGS",   "LINEDEFS", "SIDEDEFS", "VERTEXES", "SEGS",
        "SSECTORS", "NODES",    "SECTORS",  "REJECT",   "BLOCKMAP"};
    std::vector<std::string> names;
    names.reserve(count);
    std::uint64_t maps = 0;
    while (names.size() < count) {
        if (names.size() == count / 2) {
            names.emplace_back("THINGS~2");
        } else if (random.Below(4) == 0) {
            names.push_back("LMP" + Padded(names.size() % 100000, 5));
        } else {
            names.push_back("MAP" + Padded(maps++ % 100, 2));
            for (const char* lump : kMapLumps) {
                if (names.size() < count) {
                    names.emplace_back(lump);
                }
            }
        }
    }
    const std::vector<std::string> outputNames = OutputNames(names);

    OutputFile wad(wadPath);
    TarWriter tar(tarPath);
    wad.Write("PWAD");
    wad.U32(static_cast<std::uint32_t>(count));
    wad.U32(0); // directory offset, patched below by rewriting the header
    std::vector<Record> records;
    records.reserve(count);
    std::vector<unsigned char> content(2048);
    for (std::uint64_t i = 0; i < count; ++i) {
        const bool marker = names[i].starts_with("MAP");
        Record r{names[i], wad.Position(), marker ? 0 : random.Below(content.size())};
        random.Fill(content.data(), static_cast<std::size_t>(r.size));
        wad.Write(content.data(), static_cast<std::size_t>(r.size));
        tar.Begin(outputNames[i], r.size);
        tar.Data(content.data(), static_cast<std::size_t>(r.size));
        tar.End();
        records.push_back(std::move(r));
    }
    const std::uint64_t directoryOffset = wad.Position();
    if (directoryOffset + 16 * count > 0xFFFFFFFFull) {
        throw std::runtime_error("WAD too large for 32-bit offsets");
    }
    for (const Record& r : records) {
        wad.U32(static_cast<std::uint32_t>(r.offset));
        wad.U32(static_cast<std::uint32_t>(r.size));
        std::array<char, 8> field{};
        std::memcpy(field.data(), r.name.data(), r.name.size());
        wad.Write(field.data(), field.size());
    }
    wad.Close();
    tar.Close();

    // The directory offset is known only now; patch it in place.
    std::FILE* file = std::fopen(wadPath.c_str(), "r+b");
    unsigned char offset[4];
    for (int i = 0; i < 4; ++i) {
        offset[i] = static_cast<unsigned char>(directoryOffset >> (8 * i));
    }
    if (file == nullptr || std::fseek(file, 8, SEEK_SET) != 0 ||
        std::fwrite(offset, 1, 4, file) != 4 || std::fclose(file) != 0) {
        throw std::runtime_error("cannot patch " + wadPath);
    }
}

// A VPK directory being written: the tree with its entries grouped by
// extension, then by directory, in the order they are added; the data kept in
// the directory file after the tree; and the bytes of the numbered parts.
class VpkWriter {
public:
    static constexpr std::uint16_t kInDirectoryFile = 0x7FFF;

    explicit VpkWriter(std::size_t parts) : parts_(parts) {}

    // Starts a new group of files; an empty `directory` is the root.
    void Group(const std::string& extension, const std::string& directory) {
        CloseGroup();
        if (extension != extension_) {
            if (!extension_.empty()) {
                tree_.push_back('\0');
            }
            extension_ = extension;
            tree_ += extension;
            tree_.push_back('\0');
        }
        tree_ += directory.empty() ? " " : directory;
        tree_.push_back('\0');
        open_ = true;
    }

    // Adds "directory/stem.extension" whose first `preload` bytes of `content`
    // stay in the tree and the rest go to `archive`. Returns where its data
    // lies: in the part, or after the tree in the directory file (there
    // counted from the tree's end).
    std::uint64_t Add(const std::string& stem, std::string_view content, std::uint16_t preload,
                      std::uint16_t archive) {
        std::string& store = archive == kInDirectoryFile ? embedded_ : parts_.at(archive);
        const std::uint64_t offset = store.size();
        const std::string_view rest = content.substr(preload);
        store.append(rest);
        tree_ += stem;
        tree_.push_back('\0');
        Little(::crc32(::crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(content.data()),
                       static_cast<uInt>(content.size())),
               4);
        Little(preload, 2);
        Little(archive, 2);
        Little(offset, 4);
        Little(rest.size(), 4);
        Little(0xFFFF, 2);
        tree_.append(content.substr(0, preload));
        return offset;
    }

    // Ends the tree; its size fixes where the embedded data begins.
    void Finish() {
        CloseGroup();
        if (!extension_.empty()) {
            tree_.push_back('\0');
        }
        tree_.push_back('\0');
    }

    static constexpr std::uint64_t kHeaderSize = 28;
    std::uint64_t TreeEnd() const { return kHeaderSize + tree_.size(); }

    void Write(const std::string& directoryPath) const {
        OutputFile vpk(directoryPath);
        vpk.U32(0x55AA1234);
        vpk.U32(2);
        vpk.U32(static_cast<std::uint32_t>(tree_.size()));
        vpk.U32(static_cast<std::uint32_t>(embedded_.size()));
        vpk.U32(0);
        vpk.U32(0);
        vpk.U32(0);
        vpk.Write(tree_);
        vpk.Write(embedded_);
        vpk.Close();
        const std::string stem = directoryPath.substr(0, directoryPath.size() - 8); // "_dir.vpk"
        for (std::size_t i = 0; i < parts_.size(); ++i) {
            OutputFile part(stem + "_" + Padded(i, 3) + ".vpk");
            part.Write(parts_[i]);
            part.Close();
        }
    }

private:
    void CloseGroup() {
        if (open_) {
            tree_.push_back('\0');
            open_ = false;
        }
    }
    void Little(std::uint64_t value, int width) {
        for (int i = 0; i < width; ++i) {
            tree_.push_back(static_cast<char>(value >> (8 * i)));
        }
    }

    std::string tree_;
    std::string embedded_;
    std::vector<std::string> parts_;
    std::string extension_;
    bool open_ = false;
};

void RequireDirectoryName(const std::string& path) {
    if (!std::string_view(path).ends_with("_dir.vpk")) {
        throw std::runtime_error("a VPK directory file's name ends in _dir.vpk: " + path);
    }
}

// The groups of the benchmark VPKs: five kinds of asset, each in 100 level
// directories, COUNT files spread over them; file names carry a serial number.
struct VpkFile {
    std::string name; // as listed: "directory/stem.extension"
    std::uint64_t size;
    std::uint64_t offset; // as listed
};

template <typename AddFile> void ForEachVpkGroup(std::uint64_t count, AddFile addFile) {
    static constexpr std::array<const char*, 5> kKinds = {"textures", "sounds", "models", "maps",
                                                          "scripts"};
    static constexpr std::array<const char*, 5> kStems = {"wall_", "sfx_", "prop_", "zone_",
                                                          "logic_"};
    static constexpr std::array<const char*, 5> kExtensions = {"png", "wav", "mdl", "bsp", "lua"};
    constexpr std::uint64_t kGroups = kKinds.size() * 100;
    std::uint64_t serial = 0;
    for (std::uint64_t g = 0; g < kGroups; ++g) {
        const std::size_t kind = static_cast<std::size_t>(g / 100);
        const std::string directory = std::string(kKinds[kind]) + "/level" + Padded(g % 100, 2);
        const std::uint64_t files = count / kGroups + (g < count % kGroups ? 1 : 0);
        for (std::uint64_t f = 0; f < files; ++f, ++serial) {
            addFile(f == 0, kExtensions[kind], directory, kStems[kind] + Padded(serial, 7));
        }
    }
}

std::string ListingHeader(const std::string& path, std::uint64_t count) {
    return "Package: " + path + " (" + std::to_string(count) + " files):\n";
}

void AppendListingLine(std::string& text, const VpkFile& file) {
    text += "  - [";
    AppendNumber(text, file.size, 10);
    text += " B] " + file.name + " (Offset: 0x";
    AppendNumber(text, file.offset, 16);
    text += ")\n";
}

// COUNT entries of 1 to 32 bytes, their data after the tree (one in eight
// with its first bytes preloaded), and the report `--list OUT_dir.vpk` must
// print.
void WriteVpkListing(std::uint64_t count, Random& random, const std::string& vpkPath,
                     const std::string& listingPath) {
    RequireDirectoryName(vpkPath);
    VpkWriter vpk(0);
    std::vector<VpkFile> files;
    files.reserve(count);
    std::array<char, 32> content{};
    ForEachVpkGroup(count, [&](bool first, const char* extension, const std::string& directory,
                               const std::string& stem) {
        if (first) {
            vpk.Group(extension, directory);
        }
        const auto size = static_cast<std::size_t>(1 + random.Below(content.size()));
        random.Fill(reinterpret_cast<unsigned char*>(content.data()), size);
        const auto preload = static_cast<std::uint16_t>(random.Below(8) == 0 ? size / 2 : 0);
        const std::uint64_t offset = vpk.Add(stem, std::string_view(content.data(), size), preload,
                                             VpkWriter::kInDirectoryFile);
        files.push_back({directory + "/" + stem + "." + extension, size, offset});
    });
    vpk.Finish();
    vpk.Write(vpkPath);

    OutputFile listing(listingPath);
    std::string text = ListingHeader(vpkPath, count);
    for (VpkFile& file : files) {
        file.offset += vpk.TreeEnd(); // data kept after the tree
        AppendListingLine(text, file);
    }
    listing.Write(text);
    listing.Close();
}

// COUNT entries of 1 KiB, their data in parts 0 and 1 by turns of 100 files
// (one in eight with 64 bytes preloaded), and the tar of the same files.
void WriteVpkFiles(std::uint64_t count, Random& random, const std::string& vpkPath,
                   const std::string& tarPath) {
    RequireDirectoryName(vpkPath);
    VpkWriter vpk(2);
    TarWriter tar(tarPath);
    std::array<char, 1024> content{};
    std::uint64_t added = 0;
    ForEachVpkGroup(count, [&](bool first, const char* extension, const std::string& directory,
                               const std::string& stem) {
        if (first) {
            vpk.Group(extension, directory);
        }
        random.Fill(reinterpret_cast<unsigned char*>(content.data()), content.size());
        const auto preload = static_cast<std::uint16_t>(random.Below(8) == 0 ? 64 : 0);
        const auto part = static_cast<std::uint16_t>(added++ / 100 % 2);
        vpk.Add(stem, std::string_view(content.data(), content.size()), preload, part);
        tar.Begin(Flattened(directory + "/" + stem + "." + extension), content.size());
        tar.Data(content.data(), content.size());
        tar.End();
    });
    vpk.Finish();
    vpk.Write(vpkPath);
    tar.Close();
}

// The crafted package of the hostile-input guarantee: COUNT / 2 entries
// named "A", then "A~2" ... "A~(COUNT / 2)", each a few bytes. A search for
// a free "~N" that started again from N for every repeat would cost time
// quadratic in COUNT; the tar holds the names extraction must give.
void WritePakRepeats(std::uint64_t count, Random& random, const std::string& pakPath,
                     const std::string& tarPath) {
    const std::uint64_t half = count / 2;
    std::vector<std::string> names(half, "A");
    for (std::uint64_t n = 2; names.size() < count; ++n) {
        names.push_back("A~" + std::to_string(n));
    }
    WritePakWithTar<16>(names, OutputNames(names), random, pakPath, tarPath);
}

std::uint64_t Number(const char* text) {
    std::uint64_t value = 0;
    const std::string_view view(text);
    const auto result = std::from_chars(view.data(), view.data() + view.size(), value);
    if (result.ec != std::errc() || result.ptr != view.data() + view.size()) {
        throw std::runtime_error("not a number: " + std::string(view));
    }
    return value;
}

} // namespace

int main(int argc, char** argv) {
    try {
        const std::string_view kind = argc > 1 ? argv[1] : "";
        if (argc == 6 && kind == "pak-files") {
            Random random(Number(argv[3]));
            WritePakFiles(Number(argv[2]), random, argv[4], argv[5]);
        } else if (argc == 6 && kind == "pak-files-4k") {
            Random random(Number(argv[3]));
            WritePakFiles(Number(argv[2]), random, argv[4], argv[5], 4096);
        } else if (argc == 6 && kind == "pak-listing") {
            Random random(Number(argv[3]));
            WritePakListing(Number(argv[2]), random, argv[4], argv[5]);
        } else if (argc == 7 && kind == "pak-large") {
            Random random(Number(argv[3]));
            WritePakLarge(Number(argv[2]), random, argv[4], argv[5], argv[6]);
        } else if (argc == 5 && kind == "pak-assets") {
            Random random(Number(argv[3]));
            WritePakAssets(Number(argv[2]), random, argv[4]);
        } else if (argc == 6 && kind == "wad-lumps") {
            Random random(Number(argv[3]));
            WriteWadLumps(Number(argv[2]), random, argv[4], argv[5]);
        } else if (argc == 6 && kind == "vpk-listing") {
            Random random(Number(argv[3]));
            WriteVpkListing(Number(argv[2]), random, argv[4], argv[5]);
        } else if (argc == 6 && kind == "vpk-files") {
            Random random(Number(argv[3]));
            WriteVpkFiles(Number(argv[2]), random, argv[4], argv[5]);
        } else if (argc == 6 && kind == "pak-repeats") {
            Random random(Number(argv[3]));
            WritePakRepeats(Number(argv[2]), random, argv[4], argv[5]);
        } else {
            std::fputs("usage: kestrune_bench_data pak-files   COUNT SEED OUT.pak OUT.tar\n"
                       "       kestrune_bench_data pak-files-4k COUNT SEED OUT.pak OUT.tar\n"
                       "       kestrune_bench_data pak-listing COUNT SEED OUT.pak OUT.txt\n"
                       "       kestrune_bench_data pak-large   BYTES SEED OUT.pak OUT.tar OUT.bin\n"
                       "       kestrune_bench_data pak-assets  BYTES SEED OUT.pak\n"
                       "       kestrune_bench_data wad-lumps   COUNT SEED OUT.wad OUT.tar\n"
                       "       kestrune_bench_data vpk-listing COUNT SEED OUT_dir.vpk OUT.txt\n"
                       "       kestrune_bench_data vpk-files   COUNT SEED OUT_dir.vpk OUT.tar\n"
                       "       kestrune_bench_data pak-repeats COUNT SEED OUT.pak OUT.tar\n",
                       stderr);
            return 2;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kestrune_bench_data: %s\n", error.what());
        return 1;
    }
    return 0;
}
