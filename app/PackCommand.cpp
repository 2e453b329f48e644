#include "Commands.h"
#include "Console.h"
#include "Packing.h"
#include "Utf8.h"

#include <cstdlib>
#include <fstream>
#include <string_view>

namespace Kestrune {
namespace {

std::string Quoted(std::string_view text) {
    return "'" + std::string(text) + "'";
}

int Fail(const std::string& message) {
    Console::Err("kestrune: " + message + "\n");
    return 1;
}

// The kind OUT's extension names; "pak" is left to the caller.
std::string KindOfExtension(const std::string& outPath) {
    const std::string lower = AsciiLower(outPath);
    const std::size_t dot = lower.rfind('.');
    const std::size_t slash = lower.find_last_of("/\\");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return {};
    }
    const std::string_view extension = std::string_view(lower).substr(dot + 1);
    if (extension == "vpk") {
        return "vpk";
    }
    if (extension == "wad") {
        return "wad";
    }
    if (extension == "pk3" || extension == "pk4" || extension == "ipk3" || extension == "pke" ||
        extension == "zip") {
        return "zip";
    }
    if (extension == "pak") {
        return "pak";
    }
    return {};
}

std::optional<std::uint64_t> ParseCount(std::string_view text) {
    std::uint64_t multiplier = 1;
    if (!text.empty()) {
        const char unit = text.back();
        if (unit == 'K' || unit == 'k') {
            multiplier = 1024;
        } else if (unit == 'M' || unit == 'm') {
            multiplier = 1024 * 1024;
        } else if (unit == 'G' || unit == 'g') {
            multiplier = 1024 * 1024 * 1024;
        }
        if (multiplier != 1) {
            text.remove_suffix(1);
        }
    }
    if (text.empty() || text.size() > 15) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value * multiplier;
}

std::optional<Codec> ParseCompression(std::string_view name) {
    const std::string lower = AsciiLower(name);
    if (lower == "none") {
        return Codec::Stored;
    }
    if (lower == "zlib") {
        return Codec::Zlib;
    }
    if (lower == "gzip") {
        return Codec::Gzip;
    }
    if (lower == "lz4") {
        return Codec::Lz4;
    }
    if (lower == "zstd") {
        return Codec::Zstd;
    }
    if (lower == "oodle") {
        return Codec::Oodle;
    }
    if (lower == "deflate") {
        return Codec::Deflate;
    }
    return std::nullopt;
}

// The options given that only `kind` takes: the first one named when the
// package is of another kind.
std::optional<std::string> ForeignOption(const PackOptions& pack, PackageKind kind) {
    if (kind != PackageKind::Unreal) {
        for (const auto& [given, name] : {std::pair{pack.pakVersion.has_value(), "--pak-version"},
                                          std::pair{pack.mountPoint.has_value(), "--mount-point"},
                                          std::pair{pack.key.has_value(), "--aes-key"}}) {
            if (given) {
                return std::string(name);
            }
        }
    }
    if (kind != PackageKind::Unreal && kind != PackageKind::Zip && pack.compression) {
        return std::string("--compression");
    }
    if (kind != PackageKind::Vpk) {
        for (const auto& [given, name] : {std::pair{pack.vpkVersion.has_value(), "--vpk-version"},
                                          std::pair{pack.splitSize.has_value(), "--split-size"}}) {
            if (given) {
                return std::string(name);
            }
        }
    }
    return std::nullopt;
}

} // namespace

int RunPackCommand(const std::string& dir, const std::string& outPath, const RunOptions& options) {
    const PackOptions& pack = options.pack;
    PackSettings settings;

    // The kind: --format, else the reference's, else OUT's extension.
    std::string kindName;
    if (pack.format) {
        kindName = AsciiLower(*pack.format);
    } else if (pack.like) {
        // Filled from the reference below.
    } else {
        kindName = KindOfExtension(outPath);
        if (kindName == "pak") {
            return Fail(".pak is written by three kinds: give --format unreal, quake or kestrune");
        }
        if (kindName.empty()) {
            return Fail("cannot tell the kind of package from " + Quoted(outPath) +
                        ": give --format unreal, vpk, wad, quake, zip or kestrune");
        }
    }
    if (pack.like) {
        LikeOutcome like = ReadLikeSettings(*pack.like, options.read, pack.key.has_value());
        if (like.failure) {
            return Fail(*like.failure);
        }
        if (!kindName.empty()) {
            const PackageFormat* chosen = FindPackFormat(kindName);
            if (chosen != nullptr && chosen->kind != like.settings.kind) {
                return Fail("--format " + kindName + " and --like " + Quoted(*pack.like) +
                            " name different kinds of package");
            }
        }
        settings = like.settings;
        kindName = std::string(FindPackFormat(settings.kind)->writerName);
        Console::Err("like " + *pack.like + ": " + like.description + "\n");
    }
    const PackageFormat* format = FindPackFormat(kindName);
    if (format == nullptr) {
        return Fail("unknown package kind " + Quoted(kindName) +
                    ": give --format unreal, vpk, wad, quake, zip or kestrune");
    }
    settings.kind = format->kind;
    if (auto foreign = ForeignOption(pack, settings.kind)) {
        return Fail(*foreign + " does not apply to a " + kindName + " package");
    }

    if (pack.pakVersion) {
        const std::string version = AsciiLower(*pack.pakVersion);
        const auto number = ParseCount(version == "8a" || version == "8b" ? "8" : version);
        if (!number || *number < 1 || *number > 11) {
            return Fail("--pak-version takes 1 to 11, 8a or 8b, not " + Quoted(*pack.pakVersion));
        }
        settings.pakVersion = static_cast<std::uint32_t>(*number);
        settings.v8a = version == "8a";
    }
    if (pack.mountPoint) {
        settings.mountPoint = *pack.mountPoint;
    }
    if (pack.compression) {
        const auto codec = ParseCompression(*pack.compression);
        if (!codec) {
            return Fail("--compression takes None, Deflate, Zlib, Gzip, LZ4, Zstd or Oodle, not " +
                        Quoted(*pack.compression));
        }
        settings.compression = *codec;
    } else if (settings.kind == PackageKind::Zip && !pack.like) {
        // What every ZIP tool writes unless told otherwise.
        settings.compression = Codec::Deflate;
    }
    if (settings.kind == PackageKind::Zip) {
        // Reproducible builds' convention: the time every entry carries.
        if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH")) {
            const auto seconds = ParseCount(epoch);
            if (!seconds ||
                std::string_view(epoch).find_first_not_of("0123456789") != std::string_view::npos) {
                return Fail("SOURCE_DATE_EPOCH is not a number of seconds since 1970: " +
                            Quoted(epoch));
            }
            settings.timestamp = static_cast<std::int64_t>(*seconds);
        }
    }
    if (pack.key) {
        settings.aesKey = pack.key;
    }
    settings.oodleLibrary = options.read.oodleLibrary;
    if (pack.vpkVersion) {
        const auto version = ParseCount(*pack.vpkVersion);
        if (!version || (*version != 1 && *version != 2)) {
            return Fail("--vpk-version takes 1 or 2, not " + Quoted(*pack.vpkVersion));
        }
        settings.vpkVersion = static_cast<std::uint32_t>(*version);
    }
    if (pack.splitSize) {
        const auto size = ParseCount(*pack.splitSize);
        if (!size || *size == 0) {
            return Fail("--split-size takes a number of bytes (K, M or G after it: KiB, MiB, "
                        "GiB), not " +
                        Quoted(*pack.splitSize));
        }
        settings.splitSize = *size;
    }

    std::vector<std::string> order;
    if (pack.order) {
        std::ifstream in(*pack.order, std::ios::binary);
        if (!in) {
            return Fail("cannot read the order file " + Quoted(*pack.order));
        }
        for (std::string line; std::getline(in, line);) {
            if (line.ends_with('\r')) {
                line.pop_back();
            }
            order.push_back(std::move(line));
        }
    }

    PlanOutcome planned =
        PlanPackage(dir, outPath, options.read.select, std::move(order), settings);
    if (planned.failure) {
        return Fail(*planned.failure);
    }
    const PackOutcome outcome = WritePackage(planned.plan, outPath, options.read);
    if (!outcome.written) {
        return Fail(outcome.failure.value_or("the package was not written"));
    }
    if (options.verbose) {
        for (const PackFile& file : planned.plan.files) {
            Console::Out("Packed: " + file.name + "\n");
        }
    }
    Console::Out("Packed " + std::to_string(outcome.files) + " files into " + outPath + "\n");
    return 0;
}

} // namespace Kestrune
