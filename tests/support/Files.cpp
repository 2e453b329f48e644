#include "Files.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>
#endif

namespace Kestrune::Testing {

std::optional<std::filesystem::path> CaseFoldingDirectory() {
#ifdef _WIN32
    return std::filesystem::temp_directory_path();
#else
    const char* dir = std::getenv("KESTRUNE_CASE_FOLDING_DIR");
    return dir != nullptr && *dir != '\0' ? std::optional<std::filesystem::path>(dir)
                                          : std::nullopt;
#endif
}

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate =
            std::filesystem::temp_directory_path() /
            ("kestrune-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string ReadOutputFile(const std::string& dir, const std::string& name) {
#ifdef _WIN32
    const std::filesystem::path path =
        std::filesystem::path(dir) /
        std::u8string(reinterpret_cast<const char8_t*>(name.data()), name.size());
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + dir + "/" + name);
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
#else
    return ReadFile(dir + "/" + name);
#endif
}

void WriteSparseFile(const std::string& path, const std::vector<FilePiece>& pieces) {
#ifdef _WIN32
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("cannot create " + path);
    }
    DWORD returned = 0;
    // Without this NTFS writes every gap out as zeros; a file system without
    // sparse files refuses it, and the file is simply written in full.
    DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    bool ok = true;
    for (const FilePiece& piece : pieces) {
        LARGE_INTEGER position;
        position.QuadPart = static_cast<LONGLONG>(piece.position);
        DWORD written = 0;
        ok = ok && SetFilePointerEx(file, position, nullptr, FILE_BEGIN) &&
             ::WriteFile(file, piece.bytes.data(), static_cast<DWORD>(piece.bytes.size()), &written,
                         nullptr) &&
             written == piece.bytes.size();
    }
    ok = CloseHandle(file) && ok;
#else
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (const FilePiece& piece : pieces) {
        out.seekp(static_cast<std::streamoff>(piece.position));
        out.write(piece.bytes.data(), static_cast<std::streamsize>(piece.bytes.size()));
    }
    out.close();
    const bool ok = out.good();
#endif
    if (!ok) {
        throw std::runtime_error("cannot write " + path);
    }
}

bool MakeSymbolicLink(const std::string& target, const std::string& link) {
#ifdef _WIN32
    // Unprivileged creation needs developer mode; older systems reject the
    // flag itself, so the plain call is the second try.
    if (!CreateSymbolicLinkA(link.c_str(), target.c_str(),
                             SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
        !CreateSymbolicLinkA(link.c_str(), target.c_str(), 0)) {
        return false;
    }
    const DWORD attributes = GetFileAttributesA(link.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
#else
    std::filesystem::create_symlink(target, link);
    return true;
#endif
}

} // namespace Kestrune::Testing
