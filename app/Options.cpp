#include "Options.h"

#include "Crypto.h"
#include "Glob.h"
#include "unity/UnityLayouts.h"

#include <memory>

namespace Kestrune {
namespace {

constexpr std::string_view kCommands[] = {"--gui",     "--help",          "-h",     "--list",
                                          "--extract", "--create-sample", "--test", "--list-json",
                                          "--cat",     "--export",        "--pack"};

enum class Option {
    Tree,
    Include,
    Exclude,
    Verbose,
    Version,
    AesKey,
    Oodle,
    Format,
    Like,
    Order,
    PakVersion,
    MountPoint,
    Compression,
    VpkVersion,
    SplitSize,
    UnityVersion,
};

struct OptionName {
    std::string_view name;
    Option option;
    bool takesValue;
};

constexpr OptionName kOptions[] = {
    {"--tree", Option::Tree, false},
    {"--include", Option::Include, true},
    {"--exclude", Option::Exclude, true},
    {"-v", Option::Verbose, false},
    {"--verbose", Option::Verbose, false},
    {"--version", Option::Version, false},
    {"--aes-key", Option::AesKey, true},
    {"--oodle", Option::Oodle, true},
    {"--format", Option::Format, true},
    {"--like", Option::Like, true},
    {"--order", Option::Order, true},
    {"--pak-version", Option::PakVersion, true},
    {"--mount-point", Option::MountPoint, true},
    {"--compression", Option::Compression, true},
    {"--vpk-version", Option::VpkVersion, true},
    {"--split-size", Option::SplitSize, true},
    {"--unity-version", Option::UnityVersion, true},
};

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The message for a key that is no key; the key itself is never repeated, as
// it may be a secret that belongs in no terminal's scrollback.
constexpr std::string_view kKeyForm =
    "needs an AES-256 key: 64 hexadecimal digits (0x before them or not) or the base64 of 32 "
    "bytes";

// The entry selection: taken when some include matches (or none is given)
// and no exclude does.
std::function<bool(std::string_view)> Selection(const std::vector<std::string>& includes,
                                                const std::vector<std::string>& excludes) {
    if (includes.empty() && excludes.empty()) {
        return {};
    }
    auto in = std::make_shared<std::vector<Glob>>(includes.begin(), includes.end());
    auto out = std::make_shared<std::vector<Glob>>(excludes.begin(), excludes.end());
    return [in, out](std::string_view name) {
        const auto matches = [name](const Glob& glob) { return glob.Matches(name); };
        return (in->empty() || std::any_of(in->begin(), in->end(), matches)) &&
               std::none_of(out->begin(), out->end(), matches);
    };
}

} // namespace

bool IsCommand(std::string_view arg) {
    return std::find(std::begin(kCommands), std::end(kCommands), arg) != std::end(kCommands);
}

std::optional<AesKey> ParseAesKey(std::string_view text) {
    AesKey key{};
    std::string_view hex = text;
    if (hex.starts_with("0x") || hex.starts_with("0X")) {
        hex.remove_prefix(2);
    }
    if (hex.size() == 2 * key.size()) {
        bool allHex = true;
        for (std::size_t i = 0; i < key.size() && allHex; ++i) {
            const int high = HexDigit(hex[2 * i]);
            const int low = HexDigit(hex[2 * i + 1]);
            allHex = high >= 0 && low >= 0;
            key[i] = static_cast<unsigned char>(high * 16 + low);
        }
        if (allHex) {
            return key;
        }
    }
    // 32 bytes take 44 base64 characters, the last one padding; the decoder
    // is handed a larger buffer so that a longer text is told apart.
    std::array<unsigned char, 64> bytes{};
    std::size_t length = 0;
    if (text.size() == 44 && DecodeBase64(text, bytes, length) && length == key.size()) {
        std::copy_n(bytes.begin(), key.size(), key.begin());
        return key;
    }
    return std::nullopt;
}

ParsedCommandLine ParseCommandLine(const std::vector<std::string_view>& args,
                                   const OptionEnvironment& environment) {
    ParsedCommandLine parsed;
    std::vector<std::string> includes, excludes;
    std::optional<std::string> oodle;
    std::optional<std::string> unityVersion;
    std::size_t i = 0;
    const auto fail = [&](std::string message, bool showsUsage) {
        parsed.error = std::move(message);
        parsed.errorShowsUsage = showsUsage;
        return parsed;
    };
    for (; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (IsCommand(arg) || !arg.starts_with("-")) {
            break; // the command, or a word that is none (the usage says so)
        }
        // "--include=GLOB" is the same as "--include GLOB".
        const std::size_t equals = arg.starts_with("--") ? arg.find('=') : std::string_view::npos;
        const std::string_view name = arg.substr(0, equals);
        const auto known = std::find_if(std::begin(kOptions), std::end(kOptions),
                                        [name](const OptionName& o) { return o.name == name; });
        if (known == std::end(kOptions) ||
            (equals != std::string_view::npos && !known->takesValue)) {
            return fail("unknown option '" + std::string(arg) + "'", true);
        }
        parsed.anyOption = true;
        std::string_view value;
        if (known->takesValue) {
            if (equals != std::string_view::npos) {
                value = arg.substr(equals + 1);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                return fail("option '" + std::string(name) + "' needs a value", true);
            }
        }
        switch (known->option) {
        case Option::Tree:
            parsed.options.layout = OutputLayout::Tree;
            break;
        case Option::Include:
            includes.emplace_back(value);
            break;
        case Option::Exclude:
            excludes.emplace_back(value);
            break;
        case Option::Verbose:
            parsed.options.verbose = true;
            break;
        case Option::Version:
            parsed.showVersion = true;
            break;
        case Option::AesKey: {
            const std::optional<AesKey> key = ParseAesKey(value);
            if (!key) {
                return fail("option '--aes-key' " + std::string(kKeyForm), false);
            }
            parsed.options.read.aesKeys.push_back(*key);
            if (!parsed.options.pack.key) {
                parsed.options.pack.key = *key;
            }
            break;
        }
        case Option::Oodle:
            oodle = std::string(value);
            break;
        case Option::Format:
            parsed.options.pack.format = std::string(value);
            break;
        case Option::Like:
            parsed.options.pack.like = std::string(value);
            break;
        case Option::Order:
            parsed.options.pack.order = std::string(value);
            break;
        case Option::PakVersion:
            parsed.options.pack.pakVersion = std::string(value);
            break;
        case Option::MountPoint:
            parsed.options.pack.mountPoint = std::string(value);
            break;
        case Option::Compression:
            parsed.options.pack.compression = std::string(value);
            break;
        case Option::VpkVersion:
            parsed.options.pack.vpkVersion = std::string(value);
            break;
        case Option::SplitSize:
            parsed.options.pack.splitSize = std::string(value);
            break;
        case Option::UnityVersion:
            unityVersion = std::string(value);
            break;
        }
    }
    parsed.command = i;

    if (environment.aesKeys) {
        std::string_view keys = *environment.aesKeys;
        for (std::size_t begin = 0; begin <= keys.size();) {
            std::size_t end = keys.find(',', begin);
            if (end == std::string_view::npos) {
                end = keys.size();
            }
            std::string_view one = keys.substr(begin, end - begin);
            while (!one.empty() && (one.front() == ' ' || one.front() == '\t')) {
                one.remove_prefix(1);
            }
            while (!one.empty() && (one.back() == ' ' || one.back() == '\t')) {
                one.remove_suffix(1);
            }
            if (!one.empty()) {
                const std::optional<AesKey> key = ParseAesKey(one);
                if (!key) {
                    return fail("KESTRUNE_AES_KEY " + std::string(kKeyForm) +
                                    " for each key, keys separated by commas",
                                false);
                }
                parsed.options.read.aesKeys.push_back(*key);
            }
            begin = end + 1;
        }
    }
    if (oodle) {
        parsed.options.read.oodleLibrary = *oodle;
    } else if (environment.oodle) {
        parsed.options.read.oodleLibrary = *environment.oodle;
    }
    if (!unityVersion && environment.unityVersion) {
        unityVersion = environment.unityVersion;
    }
    if (unityVersion) {
        // Checked here, so that a mistyped version is not met file by file.
        if (Unity::IsStrippedVersion(*unityVersion) || !Unity::LayoutVersion(*unityVersion)) {
            return fail(
                std::string(environment.unityVersion && unityVersion == environment.unityVersion
                                ? "KESTRUNE_UNITY_VERSION"
                                : "option '--unity-version'") +
                    " needs a Unity version whose class layouts are known, such as "
                    "2019.4.31f1 (not '" +
                    *unityVersion + "')",
                false);
        }
        parsed.options.read.unityVersion = *unityVersion;
    }
    parsed.options.read.select = Selection(includes, excludes);
    return parsed;
}

} // namespace Kestrune
