#include "ByteOrder.h"
#include "Codecs.h"
#include "Crypto.h"
#include "PackWriters.h"
#include "Utf8.h"
#include "VpkFormat.h"

#include <unordered_map>
#include <unordered_set>

// A VPK directory of version 1 or 2 (layout in VpkFormat.h), with its data
// after the tree in the same file, or in numbered parts beside a _dir.vpk.
//
// The tree groups entries by extension, then by folder, as the engines read
// it. Groups come in the order their first file has in the plan (byte order
// of the names, or the user's order), and files within a folder in plan
// order, so a listing used as the order gives the same tree back. Data lies
// in tree order. Every entry carries the CRC-32 of its content and no
// preload bytes. Version 2 ends with the MD5 section that Valve's tools
// write: of the tree, of the (empty) part MD5 list, and of the whole file
// before it.
namespace Kestrune::Vpk {
namespace {

constexpr std::uint32_t kSignature = 0x55AA1234;
constexpr std::uint32_t kOtherMd5Size = 48;
constexpr std::string_view kNone = " ";

struct Placed {
    const PackFile* file;
    std::string stem;
    std::uint32_t crc = 0;
    std::uint16_t archive = kInDirectoryFile;
    std::uint32_t offset = 0;
};

struct Folder {
    std::string path;
    std::vector<Placed> files;
};

struct Extension {
    std::string name;
    std::vector<Folder> folders;
    std::unordered_map<std::string, std::size_t> byPath;
};

void AppendU16LE(std::string& out, std::uint16_t value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>(value >> 8));
}

} // namespace

std::optional<std::string> WritePackage(const PackPlan& plan, PackOutput& out,
                                        std::uint64_t& entries) {
    const PackSettings& settings = plan.settings;
    if (settings.vpkVersion != 1 && settings.vpkVersion != 2) {
        return std::string("--vpk-version must be 1 or 2");
    }
    const bool split = settings.splitSize > 0;
    if (split && !out.PackageName().ends_with("_dir.vpk")) {
        return std::string("--split-size writes numbered parts beside a directory file: OUT "
                           "must end in _dir.vpk");
    }
    // Group the files; names the engine would take for one are refused.
    std::vector<Extension> extensions;
    std::unordered_map<std::string, std::size_t> byExtension;
    std::unordered_set<std::string> seen;
    for (const PackFile& file : plan.files) {
        if (!seen.insert(AsciiLower(file.name)).second) {
            return "'" + file.name +
                   "' differs from another name only in letter case: the "
                   "game would read one of them";
        }
        const std::size_t slash = file.name.rfind('/');
        const std::string path =
            slash == std::string::npos ? std::string(kNone) : file.name.substr(0, slash);
        const std::string base =
            slash == std::string::npos ? file.name : file.name.substr(slash + 1);
        const std::size_t dot = base.rfind('.');
        const bool hasExtension = dot != std::string::npos && dot > 0 && dot + 1 < base.size();
        const std::string extension = hasExtension ? base.substr(dot + 1) : std::string(kNone);
        std::string stem = hasExtension ? base.substr(0, dot) : base;
        if (path.empty() || base == kNone || (path == kNone && slash != std::string::npos)) {
            return "'" + file.name + "' has a name a VPK cannot hold";
        }
        if (file.size > UINT32_MAX) {
            return "'" + file.name + "' is larger than a VPK entry can be (4 GiB)";
        }
        auto [e, newExtension] = byExtension.try_emplace(extension, extensions.size());
        if (newExtension) {
            extensions.push_back({extension, {}, {}});
        }
        Extension& group = extensions[e->second];
        auto [f, newFolder] = group.byPath.try_emplace(path, group.folders.size());
        if (newFolder) {
            group.folders.push_back({path, {}});
        }
        group.folders[f->second].files.push_back({&file, std::move(stem)});
    }

    // Where each entry's data goes, and its CRC-32 (read now: the tree that
    // holds it comes before the data).
    std::uint64_t inDirectory = 0;
    std::uint32_t part = 0;
    std::uint64_t partSize = 0;
    for (Extension& extension : extensions) {
        for (Folder& folder : extension.folders) {
            for (Placed& placed : folder.files) {
                std::uint32_t crc = 0;
                if (auto failure =
                        ReadPackFile(*placed.file, [&](std::span<const unsigned char> b) {
                            crc = Crc32(crc, b);
                            return true;
                        })) {
                    return failure;
                }
                placed.crc = static_cast<std::uint32_t>(crc);
                if (!split) {
                    placed.offset = static_cast<std::uint32_t>(inDirectory);
                    inDirectory += placed.file->size;
                    if (inDirectory > UINT32_MAX) {
                        return std::string("the files add up to more than one VPK file can hold "
                                           "(4 GiB): give --split-size");
                    }
                    continue;
                }
                if (partSize > 0 && partSize + placed.file->size > settings.splitSize) {
                    ++part;
                    partSize = 0;
                }
                if (part >= kInDirectoryFile) {
                    return std::string("--split-size makes more parts than a VPK can number");
                }
                placed.archive = static_cast<std::uint16_t>(part);
                placed.offset = static_cast<std::uint32_t>(partSize);
                partSize += placed.file->size;
            }
        }
    }

    std::string tree;
    for (const Extension& extension : extensions) {
        tree += extension.name;
        tree.push_back('\0');
        for (const Folder& folder : extension.folders) {
            tree += folder.path;
            tree.push_back('\0');
            for (const Placed& placed : folder.files) {
                tree += placed.stem;
                tree.push_back('\0');
                AppendU32LE(tree, placed.crc);
                AppendU16LE(tree, 0); // preload bytes
                AppendU16LE(tree, placed.archive);
                AppendU32LE(tree, placed.offset);
                AppendU32LE(tree, static_cast<std::uint32_t>(placed.file->size));
                AppendU16LE(tree, kTerminator);
            }
            tree.push_back('\0');
        }
        tree.push_back('\0');
    }
    tree.push_back('\0');
    if (tree.size() > UINT32_MAX) {
        return std::string("the names add up to more than a VPK tree can hold");
    }

    PackSink* directory = out.Create(out.PackageName());
    if (directory == nullptr) {
        return out.Failure();
    }
    Md5Hasher whole;
    const auto put = [&](PackSink& sink, std::span<const unsigned char> bytes) {
        if (&sink == directory) {
            whole.Update(bytes);
        }
        return sink.Write(bytes);
    };
    const auto putText = [&](PackSink& sink, std::string_view text) {
        return put(sink, {reinterpret_cast<const unsigned char*>(text.data()), text.size()});
    };
    std::string header;
    AppendU32LE(header, kSignature);
    AppendU32LE(header, settings.vpkVersion);
    AppendU32LE(header, static_cast<std::uint32_t>(tree.size()));
    if (settings.vpkVersion == 2) {
        AppendU32LE(header, static_cast<std::uint32_t>(inDirectory));
        AppendU32LE(header, 0); // part MD5 list
        AppendU32LE(header, kOtherMd5Size);
        AppendU32LE(header, 0); // signature
    }
    if (!putText(*directory, header) || !putText(*directory, tree)) {
        return out.Failure();
    }
    PackSink* sink = directory;
    std::uint32_t open = kInDirectoryFile;
    for (const Extension& extension : extensions) {
        for (const Folder& folder : extension.folders) {
            for (const Placed& placed : folder.files) {
                if (placed.archive != open) {
                    open = placed.archive;
                    sink = out.Create(PartPath(out.PackageName(), open));
                    if (sink == nullptr) {
                        return out.Failure();
                    }
                }
                if (auto failure =
                        ReadPackFile(*placed.file, [&](std::span<const unsigned char> b) {
                            return put(*sink, b);
                        })) {
                    return *failure == "stopped" ? out.Failure() : *failure;
                }
            }
        }
    }
    if (settings.vpkVersion == 2) {
        Md5Hasher treeHash;
        treeHash.Update({reinterpret_cast<const unsigned char*>(tree.data()), tree.size()});
        const Md5Digest treeDigest = treeHash.Finish();
        Md5Hasher partsHash; // of an empty list
        const Md5Digest partsDigest = partsHash.Finish();
        if (!put(*directory, treeDigest) || !put(*directory, partsDigest)) {
            return out.Failure();
        }
        const Md5Digest wholeDigest = whole.Finish();
        if (!directory->Write(wholeDigest)) {
            return out.Failure();
        }
    }
    entries = plan.files.size();
    return std::nullopt;
}

} // namespace Kestrune::Vpk
