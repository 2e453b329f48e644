#pragma once

// Shared by the fuzz targets: a scratch directory per fuzzing process, file
// helpers, and the check that turns a broken promise into a crash, so that
// libFuzzer keeps the input that broke it.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

namespace Kestrune::Fuzzing {

[[noreturn]] inline void Fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "\n%s:%d: broken promise: %s\n", file, line, what);
    std::abort();
}

#define KESTRUNE_FUZZ_CHECK(condition)                                                             \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            ::Kestrune::Fuzzing::Fail(#condition, __FILE__, __LINE__);                             \
        }                                                                                          \
    } while (false)

// A directory of this process's own under the system's temporary directory
// ($TMPDIR), made on first use and removed when the process ends through
// exit(). libFuzzer ends its runs with _Exit, and a crash ends them anyway, so
// scripts/fuzz.sh points $TMPDIR at a scratch directory it removes itself.
inline const std::filesystem::path& ScratchRoot() {
    static const std::filesystem::path root = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "kestrune-fuzz-XXXXXX");
        if (mkdtemp(pattern.data()) == nullptr) {
            Fail("cannot create a scratch directory", __FILE__, __LINE__);
        }
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(ScratchRoot(), ignored);
        });
        return std::filesystem::path(pattern);
    }();
    return root;
}

inline void WriteBytes(const std::filesystem::path& path, const std::uint8_t* data,
                       std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    KESTRUNE_FUZZ_CHECK(out.good());
}

inline std::string ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A Unity bundle starts with its signature and a NUL.
inline bool UnitySignature(std::string_view input) {
    for (const std::string_view s : {"UnityFS", "UnityWeb", "UnityRaw", "UnityArchive"}) {
        if (input.size() > s.size() && input.substr(0, s.size()) == s && input[s.size()] == 0) {
            return true;
        }
    }
    return false;
}

} // namespace Kestrune::Fuzzing
