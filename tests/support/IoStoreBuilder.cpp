#include "IoStoreBuilder.h"

#include "Blake3.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <mbedtls/aes.h>

namespace Kestrune::Testing {
namespace {

void Put(std::string& out, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

void PutBE(std::string& out, std::uint64_t value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

// ASCII text as bytes, anything else as UTF-16 units (a negative length).
void FString(std::string& out, const std::string& text) {
    if (std::all_of(text.begin(), text.end(), [](char c) { return c >= 0; })) {
        Put(out, text.size() + 1, 4);
        out += text;
        out.push_back('\0');
        return;
    }
    std::string units;
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        const int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
        char32_t c = extra > 0 ? b & (0x3Fu >> extra) : b;
        for (int k = 1; k <= extra; ++k) {
            c = (c << 6) |
                (static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]) & 0x3F);
        }
        i += static_cast<std::size_t>(extra) + 1;
        if (c >= 0x10000) {
            Put(units, 0xD800 + ((c - 0x10000) >> 10), 2);
            Put(units, 0xDC00 + ((c - 0x10000) & 0x3FF), 2);
        } else {
            Put(units, c, 2);
        }
    }
    Put(units, 0, 2);
    Put(out, static_cast<std::uint32_t>(-static_cast<std::int64_t>(units.size() / 2)), 4);
    out += units;
}

void EncryptCtr(const TestAesKey& key, const std::string& iv, std::string& data) {
    mbedtls_aes_context aes;
    mbedtls_aes_init(&aes);
    mbedtls_aes_setkey_enc(&aes, key.data(), 256);
    unsigned char counter[16] = {};
    std::copy(iv.begin(), iv.end(), counter);
    unsigned char stream[16];
    std::size_t used = 0;
    auto* p = reinterpret_cast<unsigned char*>(data.data());
    mbedtls_aes_crypt_ctr(&aes, data.size(), &used, counter, stream, p, p);
    mbedtls_aes_free(&aes);
}

// The directory index of `chunks`' paths: a tree of directories, each with
// its first child, next sibling and first file, and a table of names.
std::string DirectoryIndex(const std::string& mount, const std::vector<IoChunk>& chunks) {
    struct Dir {
        std::uint32_t name = 0xFFFFFFFF, child = 0xFFFFFFFF, sibling = 0xFFFFFFFF,
                      file = 0xFFFFFFFF, lastChild = 0xFFFFFFFF, lastFile = 0xFFFFFFFF;
        std::map<std::string, std::uint32_t> subs;
    };
    struct File {
        std::uint32_t name, next, chunk;
    };
    std::vector<Dir> dirs(1);
    std::vector<File> files;
    std::vector<std::string> strings;
    std::map<std::string, std::uint32_t> stringIndex;
    const auto intern = [&](const std::string& s) {
        const auto [it, fresh] = stringIndex.emplace(s, static_cast<std::uint32_t>(strings.size()));
        if (fresh) {
            strings.push_back(s);
        }
        return it->second;
    };
    for (std::uint32_t c = 0; c < chunks.size(); ++c) {
        const std::string& path = chunks[c].path;
        if (path.empty()) {
            continue;
        }
        std::uint32_t d = 0;
        std::size_t at = 0;
        for (std::size_t slash; (slash = path.find('/', at)) != std::string::npos; at = slash + 1) {
            const std::string part = path.substr(at, slash - at);
            auto found = dirs[d].subs.find(part);
            if (found == dirs[d].subs.end()) {
                const auto n = static_cast<std::uint32_t>(dirs.size());
                dirs.emplace_back().name = intern(part);
                if (dirs[d].lastChild == 0xFFFFFFFF) {
                    dirs[d].child = n;
                } else {
                    dirs[dirs[d].lastChild].sibling = n;
                }
                dirs[d].lastChild = n;
                found = dirs[d].subs.emplace(part, n).first;
            }
            d = found->second;
        }
        const auto f = static_cast<std::uint32_t>(files.size());
        files.push_back({intern(path.substr(at)), 0xFFFFFFFF, c});
        if (dirs[d].lastFile == 0xFFFFFFFF) {
            dirs[d].file = f;
        } else {
            files[dirs[d].lastFile].next = f;
        }
        dirs[d].lastFile = f;
    }
    std::string out;
    FString(out, mount);
    Put(out, dirs.size(), 4);
    for (const Dir& d : dirs) {
        Put(out, d.name, 4);
        Put(out, d.child, 4);
        Put(out, d.sibling, 4);
        Put(out, d.file, 4);
    }
    Put(out, files.size(), 4);
    for (const File& f : files) {
        Put(out, f.name, 4);
        Put(out, f.next, 4);
        Put(out, f.chunk, 4);
    }
    Put(out, strings.size(), 4);
    for (const std::string& s : strings) {
        FString(out, s);
    }
    return out;
}

} // namespace

IoStoreFiles BuildIoStore(const IoStoreLayout& l, const std::vector<IoChunk>& chunks) {
    const std::uint64_t b = l.blockSize;
    const bool encrypted = l.cipher != 0;
    IoStoreFiles result;
    std::string places;
    std::string blocks;
    std::string ivs;
    std::string metas;
    std::uint64_t address = 0;
    std::uint64_t blockCount = 0;
    std::vector<std::string>& parts = result.partitions;
    parts.emplace_back();
    for (std::size_t c = 0; c < chunks.size(); ++c) {
        const std::string& content = chunks[c].content;
        PutBE(places, address, 5);
        PutBE(places, content.size(), 5);
        if (l.gaps && parts.back().size() % 2048 != 0) {
            parts.back().append(2048 - parts.back().size() % 2048, '\x5A');
        }
        for (std::uint64_t at = 0; at < content.size(); at += b) {
            const std::string raw = content.substr(at, b);
            std::string stored = l.method == "None" ? raw : CompressForTest(l.method, raw);
            const std::uint64_t coded = stored.size();
            // Padding to 16 bytes, never zeros, as the engine writes it.
            stored.append((16 - stored.size() % 16) % 16, '\x33');
            std::string iv;
            for (int k = 0; k < 12; ++k) {
                iv.push_back(
                    static_cast<char>(blockCount * 7 + static_cast<std::uint64_t>(k) * 13));
            }
            if (l.cipher == 1) {
                EncryptForTest(*l.key, stored);
            } else if (l.cipher == 2) {
                EncryptCtr(*l.key, iv, stored);
                ivs += iv;
            }
            // A block goes to the next partition when it would cross the end of this one.
            if (l.partitionSize > 0 && parts.back().size() + stored.size() > l.partitionSize) {
                parts.emplace_back();
            }
            const std::uint64_t partition = parts.size() - 1;
            Put(blocks, partition * l.partitionSize + parts.back().size(), 5);
            Put(blocks, coded, 3);
            Put(blocks, raw.size(), 3);
            blocks.push_back(l.method == "None" ? '\0' : '\1');
            parts.back() += stored;
            ++blockCount;
        }
        address += (content.size() + b - 1) / b * b;
        const Blake3Digest hash = Blake3(
            std::span(reinterpret_cast<const unsigned char*>(content.data()), content.size()));
        metas.append(reinterpret_cast<const char*>(hash.data()), 20);
        metas.append(l.version >= 8 ? 4 : 13, '\0');
        metas[metas.size() - (l.version >= 8 ? 4 : 1)] = l.method == "None" ? '\0' : '\1';
    }
    std::string index;
    if (l.indexed && l.version >= 2) {
        index = DirectoryIndex(l.mount, chunks);
        if (l.editIndex) {
            l.editIndex(index);
        }
        if (encrypted) {
            index.append((16 - index.size() % 16) % 16, '\x21');
            if (l.cipher == 1) {
                EncryptForTest(*l.key, index);
            } else {
                std::string iv(12, '\x42');
                EncryptCtr(*l.key, iv, index);
                ivs += iv;
            }
        }
    }
    const std::uint32_t partitions = static_cast<std::uint32_t>(parts.size());
    std::string& toc = result.toc;
    toc = "-==--==--==--==-";
    toc.push_back(static_cast<char>(l.version));
    toc.append(3, '\0');
    Put(toc, 144, 4);
    Put(toc, chunks.size(), 4);
    Put(toc, blockCount, 4);
    Put(toc, 12, 4);
    Put(toc, l.method == "None" ? 0 : 1, 4);
    Put(toc, 32, 4);
    Put(toc, b, 4);
    Put(toc, index.size(), 4);
    Put(toc, l.version >= 3 ? partitions : 0, 4);
    Put(toc, 0x0123456789ABCDEFull, 8);
    for (const std::uint32_t g : l.guid) {
        Put(toc, encrypted ? g : 0, 4);
    }
    toc.push_back(static_cast<char>((l.method == "None" ? 0 : 1) | (encrypted ? 2 : 0) |
                                    (index.empty() ? 0 : 8)));
    toc.push_back(static_cast<char>(l.version >= 10 ? l.cipher : 0));
    toc.append(2, '\0');
    Put(toc, l.version >= 4 ? 1 : 0, 4); // one seed
    Put(toc, l.version >= 3 ? (l.partitionSize > 0 ? l.partitionSize : ~0ull) : 0, 8);
    Put(toc, 0, 4); // chunks without a perfect hash
    Put(toc, 0, 4); // source hashes
    Put(toc, l.version >= 10 ? ivs.size() / 12 : 0, 4);
    toc.append(36, '\0');
    for (std::size_t c = 0; c < chunks.size(); ++c) {
        Put(toc, 0x1000 + c * 0x9E3779B97F4A7C15ull, 8);
        toc.append(3, '\0');
        toc.push_back(static_cast<char>(chunks[c].type));
    }
    toc += places;
    if (l.version >= 4) {
        Put(toc, 0, 4);
    }
    result.blocksOffset = toc.size();
    toc += blocks;
    toc += ivs;
    if (l.method != "None") {
        std::string name = l.method;
        name.resize(32, '\0');
        toc += name;
    }
    result.indexOffset = toc.size();
    toc += index;
    toc += metas;
    if (l.editToc) {
        l.editToc(toc);
    }
    return result;
}

void WriteIoStore(const std::string& stem, const IoStoreFiles& files) {
    const auto write = [](const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    };
    write(stem + ".utoc", files.toc);
    for (std::size_t p = 0; p < files.partitions.size(); ++p) {
        write(stem + (p == 0 ? std::string() : "_s" + std::to_string(p)) + ".ucas",
              files.partitions[p]);
    }
}

} // namespace Kestrune::Testing
