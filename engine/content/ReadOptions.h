#pragma once

#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace Kestrune {

/// An AES-256 key, as the user gives it for an encrypted package.
using AesKey = std::array<unsigned char, 32>;

/// What the user gives for reading packages that need more than their own
/// bytes: keys for encrypted ones, the vendor's library for a codec that may
/// not be shipped. Empty for every kind that needs neither.
struct ReadOptions {
    /// Keys to try, in the order given; a reader uses the one that opens the
    /// package (an Unreal pak's index hash says which).
    std::vector<AesKey> aesKeys;
    /// Path of the user's own Oodle library (oo2core_9_win64.dll,
    /// liboo2corelinux64.so); empty when none was given.
    std::string oodleLibrary;
    /// Which entries a command takes, by stored name (--include, --exclude);
    /// empty: every entry. Entries not taken are not handed over at all, so
    /// every operation and count sees only the entries taken.
    std::function<bool(std::string_view name)> select;
    /// Read each entry's own header where the package keeps one beside the
    /// data (an Unreal pak's in-data header) and compare it with the index:
    /// what a check does, and a listing need not.
    bool checkEntryHeaders = false;
    /// The Unity engine version ("2019.4.31f1") for serialized files that
    /// state a stripped one ("0.0.0"), whose class layouts follow from it
    /// (--unity-version); empty when none was given.
    std::string unityVersion;
};

} // namespace Kestrune
