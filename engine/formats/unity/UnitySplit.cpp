#include "UnitySplit.h"

#include "JoinedSource.h"
#include "Platform.h"
#include "UnitySerialized.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

namespace Kestrune::Unity {
namespace {

constexpr std::string_view kSplit = ".split";
// More parts than any build writes (a 1 GiB file is 1,024 parts); a larger
// number is a name that only looks like a part's.
constexpr std::uint32_t kMaxPartNumber = 99'999;

// N for a name "<stem>.split<N>" (N in canonical decimal), with the stem.
std::optional<std::uint32_t> PartNumber(std::string_view name, std::string_view& stem) {
    const std::size_t at = name.rfind(kSplit);
    if (at == std::string_view::npos || at == 0) {
        return std::nullopt;
    }
    const std::string_view digits = name.substr(at + kSplit.size());
    if (digits.empty() || digits.size() > 5 || (digits.size() > 1 && digits[0] == '0') ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    std::uint32_t number = 0;
    for (const char c : digits) {
        number = number * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (number > kMaxPartNumber) {
        return std::nullopt;
    }
    stem = name.substr(0, at);
    return number;
}

std::size_t NameStart(std::string_view path) {
#ifdef _WIN32
    const std::size_t slash = path.find_last_of("/\\");
#else
    const std::size_t slash = path.rfind('/');
#endif
    return slash == std::string_view::npos ? 0 : slash + 1;
}

} // namespace

std::string SplitJoinedName(std::string_view path) {
    std::string_view stem;
    const auto number = PartNumber(path.substr(NameStart(path)), stem);
    if (!number || *number != 0) {
        return {};
    }
    return std::string(path.substr(0, path.size() - kSplit.size() - 1));
}

std::string SplitFirstPart(std::string_view fileName) {
    std::string_view stem;
    const auto number = PartNumber(fileName, stem);
    if (!number || *number == 0) {
        return {};
    }
    return std::string(stem) + std::string(kSplit) + "0";
}

std::unique_ptr<ByteSource> OpenSplitSet(const std::string& firstPart, int* error) {
    const std::string joined = SplitJoinedName(firstPart);
    const std::size_t nameAt = NameStart(firstPart);
    // Not the first part of a set (".split0" alone after a folder's
    // separator names no file to join).
    if (joined.size() < nameAt) {
        return nullptr;
    }
    const std::string folder = nameAt == 0 ? std::string(".") : firstPart.substr(0, nameAt);
    const std::string stemName = joined.substr(nameAt);
    auto first = FileSource::Open(firstPart, error);
    if (!first) {
        return nullptr;
    }
    // The highest part number beside it decides how many parts there must
    // be: a missing one in between is a gap, not the end of the set.
    std::uint32_t last = 0;
    if (const auto names = Platform::ListDirectory(folder)) {
        for (const std::string& name : *names) {
            std::string_view stem;
            if (const auto number = PartNumber(name, stem); number && stem == stemName) {
                last = std::max(last, *number);
            }
        }
    }
    // Each part is opened once here for its length, and again only when a
    // read needs it.
    std::vector<JoinedSource::Part> parts;
    parts.push_back({firstPart, first->Size()});
    first.reset();
    std::string missing;
    for (std::uint32_t n = 1; n <= last; ++n) {
        const std::string part = joined + std::string(kSplit) + std::to_string(n);
        const auto opened = FileSource::Open(part);
        if (!opened) {
            missing = stemName + std::string(kSplit) + std::to_string(n);
            break;
        }
        parts.push_back({part, opened->Size()});
    }
    const std::size_t count = parts.size();
    auto source = std::make_unique<JoinedSource>(std::move(parts));
    const std::string range =
        stemName + ".split0 to " + stemName + std::string(kSplit) + std::to_string(last);
    if (!missing.empty()) {
        source->SetDefect("split file " + stemName + " lacks " + missing + " of " + range);
    } else if (const auto stated = StatedFileSize(*source); stated && *stated != source->Size()) {
        source->SetDefect("split file " + stemName + " joins " + std::to_string(count) +
                          " parts into " + std::to_string(source->Size()) +
                          " bytes, but the serialized file in them states " +
                          std::to_string(*stated));
    }
    return source;
}

} // namespace Kestrune::Unity
