#include "Platform.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <direct.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>

namespace Kestrune::Platform {

namespace {

// Maps the Windows errors that file creation and writing meet to the C
// runtime's error numbers, so messages read alike on every system.
int ToErrno(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_DIRECTORY:
        return EINVAL;
    default:
        return EIO;
    }
}

std::wstring Widen(std::string_view text, UINT codePage) {
    if (text.empty() || text.size() > 0x7FFFFFFF) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) {
        MultiByteToWideChar(codePage, 0, text.data(), size, wide.data(), length);
    }
    return wide;
}

std::string Utf8(std::wstring_view text) {
    if (text.empty() || text.size() > 0x7FFFFFFF) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    if (length > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), size, narrow.data(), length, nullptr, nullptr);
    }
    return narrow;
}

// The absolute form of `path` behind "\\?\", which Windows takes as it
// stands and without the 260-character limit of ordinary paths. "/" becomes
// "\", "." and ".." are resolved first, as that form leaves them alone.
std::wstring LongPath(const std::wstring& path) {
    const DWORD needed = path.empty() ? 0 : GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return path;
    }
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) {
        return path;
    }
    full.resize(length);
    if (full.starts_with(L"\\\\?\\") || full.starts_with(L"\\\\.\\")) {
        return full;
    }
    if (full.starts_with(L"\\\\")) {
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return L"\\\\?\\" + full;
}

// A path from the command line: the program reads its arguments as UTF-16
// and carries them as UTF-8, so that any name the user can type opens, not
// only those of the ANSI code page.
std::wstring CommandLinePath(const std::string& path) {
    return LongPath(Widen(path, CP_UTF8));
}

// A file named by OutputNames (UTF-8) in a directory from the command line.
std::wstring PathIn(const std::string& dir, const std::string& name) {
    return LongPath(Widen(dir, CP_UTF8) + L"/" + Widen(name, CP_UTF8));
}

} // namespace

bool IsDirectory(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(CommandLinePath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsPlainDirectory(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(CommandLinePath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

int MakeDirectory(const std::string& path) {
    return CreateDirectoryW(CommandLinePath(path).c_str(), nullptr) ? 0 : ToErrno(GetLastError());
}

std::optional<std::vector<std::string>> ListDirectory(const std::string& dir) {
    WIN32_FIND_DATAW item{};
    const HANDLE search = FindFirstFileExW(PathIn(dir, "*").c_str(), FindExInfoBasic, &item,
                                           FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    do {
        const std::wstring_view name = item.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(Utf8(name));
        }
    } while (FindNextFileW(search, &item));
    FindClose(search);
    return names;
}

bool FoldsLetterCase(const std::string&) {
    // The Windows naming rules fold letter case already, for every directory.
    return true;
}

PathKind LinkStatus(const std::string& path, std::uint64_t* size) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(CommandLinePath(path).c_str(), GetFileExInfoStandard, &data)) {
        return PathKind::Missing;
    }
    const DWORD attributes = data.dwFileAttributes;
    if (size != nullptr) {
        *size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return PathKind::Link;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::Directory : PathKind::File;
}

std::optional<std::string> ResolvedPath(const std::string& path) {
    const HANDLE handle = CreateFileW(CommandLinePath(path).c_str(), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    std::wstring wide(32768, L'\0');
    const DWORD length =
        GetFinalPathNameByHandleW(handle, wide.data(), static_cast<DWORD>(wide.size()), 0);
    CloseHandle(handle);
    if (length == 0 || length >= wide.size()) {
        return std::nullopt;
    }
    wide.resize(length);
    std::string result = Utf8(wide);
    std::replace(result.begin(), result.end(), '\\', '/');
    return result;
}

int RenameFile(const std::string& from, const std::string& to) {
    return MoveFileExW(CommandLinePath(from).c_str(), CommandLinePath(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING)
               ? 0
               : ToErrno(GetLastError());
}

int RemoveFile(const std::string& path) {
    return DeleteFileW(CommandLinePath(path).c_str()) ? 0 : ToErrno(GetLastError());
}

int RemoveEmptyDirectory(const std::string& path) {
    return RemoveDirectoryW(CommandLinePath(path).c_str()) ? 0 : ToErrno(GetLastError());
}

std::string ErrorText(int error) {
    // The C runtime has numbers but no texts for the POSIX additions.
    if (error == ELOOP) {
        return "Too many levels of symbolic links";
    }
    return std::strerror(error);
}

namespace {

std::optional<FileId> IdOf(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info)) {
        return std::nullopt;
    }
    return FileId{info.dwVolumeSerialNumber,
                  (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

} // namespace

std::optional<FileId> IdentifyFile(const std::string& path) {
    HANDLE handle = CreateFileW(CommandLinePath(path).c_str(), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    const auto id = IdOf(handle);
    CloseHandle(handle);
    return id;
}

bool IsSameFileBySpelling(const std::string& dir, const std::string& name,
                          const std::string& path) {
    // NTFS and exFAT on Windows give a file one index, whatever the spelling.
    HANDLE handle = CreateFileW(PathIn(dir, name).c_str(), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    const auto id = IdOf(handle);
    CloseHandle(handle);
    return id && id == IdentifyFile(path);
}

InputFile::~InputFile() {
    if (handle_ != nullptr) {
        CloseHandle(static_cast<HANDLE>(handle_));
    }
}

bool InputFile::Open(const std::string& path) {
    // Without FILE_FLAG_BACKUP_SEMANTICS a directory does not open.
    const std::wstring wide = CommandLinePath(path);
    HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        // A directory is refused as access denied; say what it is instead.
        error_ = ToErrno(GetLastError());
        const DWORD attributes = GetFileAttributesW(wide.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            error_ = EISDIR;
        }
        return false;
    }
    handle_ = handle;
    LARGE_INTEGER size{};
    if (GetFileType(handle) == FILE_TYPE_DISK && GetFileSizeEx(handle, &size) &&
        size.QuadPart > 0) {
        size_ = static_cast<std::uint64_t>(size.QuadPart);
    }
    return true;
}

// Mapped views are not used here: reads go through ReadAt.
FileMapping::FileMapping(const InputFile&) {}
FileMapping::~FileMapping() = default;
bool FileMapping::Ready(std::uint64_t, std::uint64_t) {
    return false;
}

std::size_t InputFile::ReadAt(std::uint64_t offset, unsigned char* out, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const std::size_t left = length - done;
        const DWORD step = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>((offset + done) & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
        DWORD got = 0;
        if (!ReadFile(static_cast<HANDLE>(handle_), out + done, step, &got, &at) || got == 0) {
            break;
        }
        done += got;
    }
    return done;
}

OutputFile::~OutputFile() {
    if (handle_ != nullptr) {
        CloseHandle(static_cast<HANDLE>(handle_));
    }
}

OutputFile::OpenStatus OutputFile::Open(const std::string& path, std::span<const FileId> protect) {
    const std::wstring wide = CommandLinePath(path);
    const OpenStatus created = CreateWide(wide);
    return created == OpenStatus::Exists ? ReplaceWide(wide, protect) : created;
}

OutputFile::OpenStatus OutputFile::Create(const std::string& dir, const std::string& name) {
    return CreateWide(PathIn(dir, name));
}

OutputFile::OpenStatus OutputFile::Replace(const std::string& dir, const std::string& name,
                                           std::span<const FileId> protect) {
    return ReplaceWide(PathIn(dir, name), protect);
}

OutputFile::OpenStatus OutputFile::CreateWide(const std::wstring& path) {
    // CREATE_NEW fails on anything already there under this name as the
    // volume compares names (any letter case, a short 8.3 alias), and never
    // follows a link.
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        error_ = ToErrno(error);
        return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? OpenStatus::Exists
                                                                           : OpenStatus::Failed;
    }
    handle_ = handle;
    return OpenStatus::Opened;
}

OutputFile::OpenStatus OutputFile::ReplaceWide(const std::wstring& path,
                                               std::span<const FileId> protect) {
    // OPEN_ALWAYS rather than CREATE_ALWAYS: the file is identified before it
    // is truncated, so the package itself is never emptied.
    // FILE_FLAG_OPEN_REPARSE_POINT opens a symbolic link or junction planted
    // under an entry's name as itself instead of following it out of the
    // directory; it is refused below, untouched.
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error_ = ToErrno(GetLastError());
        return OpenStatus::Failed;
    }
    handle_ = handle;
    const std::optional<FileId> id = IdOf(handle);
    if (id && std::find(protect.begin(), protect.end(), *id) != protect.end()) {
        CloseHandle(handle);
        handle_ = nullptr;
        return OpenStatus::IsProtectedFile;
    }
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) {
        error_ = ToErrno(GetLastError());
        return OpenStatus::Failed;
    }
    if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        // A link names another file (ELOOP, as O_NOFOLLOW reports it on
        // POSIX); any other reparse point is no plain file of ours either.
        error_ = IsReparseTagNameSurrogate(tag.ReparseTag) ? ELOOP : EINVAL;
        return OpenStatus::Failed;
    }
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        error_ = EINVAL;
        return OpenStatus::Failed;
    }
    if (!SetEndOfFile(handle)) {
        error_ = ToErrno(GetLastError());
        return OpenStatus::Failed;
    }
    return OpenStatus::Opened;
}

bool OutputFile::Write(const unsigned char* data, std::size_t length) {
    while (length > 0) {
        const DWORD step = length > 0x40000000u ? 0x40000000u : static_cast<DWORD>(length);
        DWORD written = 0;
        if (!WriteFile(static_cast<HANDLE>(handle_), data, step, &written, nullptr)) {
            error_ = ToErrno(GetLastError());
            return false;
        }
        if (written == 0) {
            error_ = EIO;
            return false;
        }
        data += written;
        length -= written;
    }
    return true;
}

OutputFile::CopyStatus OutputFile::CopyFrom(const InputFile&, std::uint64_t, std::size_t,
                                            std::size_t& copied) {
    // Windows has no copy between open handles at given offsets; the caller
    // copies through memory.
    copied = 0;
    return CopyStatus::Unsupported;
}

bool OutputFile::Close() {
    HANDLE handle = static_cast<HANDLE>(handle_);
    handle_ = nullptr;
    if (handle != nullptr && !CloseHandle(handle)) {
        error_ = ToErrno(GetLastError());
        return false;
    }
    return true;
}

bool StandardErrorIsTerminal() {
    return _isatty(_fileno(stderr)) != 0;
}

bool ShowInformationBox(const std::string& caption, const std::string& text) {
    // Which button closed the box does not matter; 0 means no box could be
    // shown (no desktop, as for a service or a remote shell), and the caller
    // then falls back to the usage text.
    return MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_ICONINFORMATION) != 0;
}

void IgnoreWriteSignals() {
    // Windows reports a closed pipe as a failed write, and has no file-size
    // limit; there is no signal.
}

void* LoadLibraryFunction(const std::string& path, const char* name, std::string& why) {
    const std::wstring wide = Widen(path, CP_UTF8);
    HMODULE library = wide.empty() ? nullptr : LoadLibraryW(wide.c_str());
    if (library == nullptr) {
        why = ErrorText(ToErrno(GetLastError()));
        return nullptr;
    }
    FARPROC function = GetProcAddress(library, name);
    if (function == nullptr) {
        why = std::string("it has no function ") + name;
        return nullptr;
    }
    return reinterpret_cast<void*>(function);
}

void UseUtf8Console() {
    DWORD mode = 0;
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out != nullptr && out != INVALID_HANDLE_VALUE && GetFileType(out) == FILE_TYPE_CHAR &&
        GetConsoleMode(out, &mode)) {
        SetConsoleOutputCP(CP_UTF8);
    }
}

std::vector<std::string> Utf8Arguments(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
        args.push_back(Utf8(argv[i]));
    }
    return args;
}

std::optional<std::string> Cp437ToUtf8(std::string_view bytes) {
    constexpr UINT kCodePage437 = 437;
    if (bytes.empty()) {
        return std::string();
    }
    const std::wstring wide = Widen(bytes, kCodePage437);
    if (wide.empty()) {
        return std::nullopt;
    }
    return Utf8(wide);
}

} // namespace Kestrune::Platform
