#pragma once

#include "Extraction.h"
#include "ReadOptions.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Kestrune {

// The options of --pack as given, checked by the command against the kind
// of package it writes.
struct PackOptions {
    std::optional<std::string> format;
    std::optional<std::string> like;
    std::optional<std::string> order;
    std::optional<std::string> pakVersion;
    std::optional<std::string> mountPoint;
    std::optional<std::string> compression;
    std::optional<std::string> vpkVersion;
    std::optional<std::string> splitSize;
    // The first --aes-key of the command line: a packing encrypts with it
    // (never with a key from the environment, meant for reading).
    std::optional<AesKey> key;
};

// What the options before a command ask for, as the commands use it.
struct RunOptions {
    ReadOptions read;
    OutputLayout layout = OutputLayout::Flat;
    bool verbose = false;
    PackOptions pack;
};

// The command line split into its options and the command that follows
// them: `kestrune [OPTION]... COMMAND ARGS`.
struct ParsedCommandLine {
    RunOptions options;
    bool anyOption = false;
    bool showVersion = false;
    // Index in `args` of the command (the first argument that is not an
    // option); args.size() when there is none.
    std::size_t command = 0;
    // Set when the options cannot be used: the message for standard error,
    // without the program's prefix, and whether the usage text follows it.
    std::optional<std::string> error;
    bool errorShowsUsage = false;
};

// The environment variables that stand for options, read by the caller.
struct OptionEnvironment {
    std::optional<std::string> aesKeys;           // KESTRUNE_AES_KEY: keys separated by commas
    std::optional<std::string> oodle;             // KESTRUNE_OODLE
    std::optional<std::string> unityVersion = {}; // KESTRUNE_UNITY_VERSION
};

// Parses the options in `args` (argv without the program name). An option
// given on the command line comes before its environment variable: --oodle
// replaces KESTRUNE_OODLE (--unity-version KESTRUNE_UNITY_VERSION), and keys from --aes-key are
// tried before those of KESTRUNE_AES_KEY.
ParsedCommandLine ParseCommandLine(const std::vector<std::string_view>& args,
                                   const OptionEnvironment& environment);

// An AES-256 key as the user writes it: 64 hexadecimal digits, "0x" before
// them or not, or the base64 form of its 32 bytes. nullopt for anything else.
std::optional<AesKey> ParseAesKey(std::string_view text);

// True for the arguments that name a command; the options end there.
bool IsCommand(std::string_view arg);

} // namespace Kestrune
