#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The few services that differ between Windows and POSIX systems. Paths are
// narrow byte strings. Elsewhere they go to the kernel unchanged. On Windows
// every path is UTF-8 text (the program takes its arguments as UTF-16 and
// converts them, see Utf8Arguments) and goes to the wide API, in the long
// form (\\?\) that lifts the 260-character limit.
namespace Kestrune::Platform {

// True when `path` names an existing directory.
bool IsDirectory(const std::string& path);

// Creates one directory level (the parent must exist). Returns 0 when it was
// created, otherwise the system's error number (EEXIST when something is
// already there).
int MakeDirectory(const std::string& path);

// True when `path` names a directory itself, not a symbolic link, junction
// or other reparse point, whatever it leads to.
bool IsPlainDirectory(const std::string& path);

// The names in directory `dir`, exactly as stored (UTF-8 on Windows), without
// "." and "..". nullopt when it cannot be read.
std::optional<std::vector<std::string>> ListDirectory(const std::string& dir);

// True when directory `dir` finds a file under a spelling that differs from
// its name only in letter case (exFAT, FAT, NTFS, a case-folding ext4
// directory). Found by creating a file of a lower-case name there and asking
// for its upper-case spelling; false when no probe file can be made.
bool FoldsLetterCase(const std::string& dir);

// What a path names, without following a symbolic link in its last
// component (a junction or other reparse point on Windows counts as a link);
// for a file, its length in `size` when given.
enum class PathKind { Missing, File, Directory, Link, Other };
PathKind LinkStatus(const std::string& path, std::uint64_t* size = nullptr);

// The absolute path of what `path` leads to, every link followed, "/"
// between levels; nullopt when it cannot be resolved.
std::optional<std::string> ResolvedPath(const std::string& path);

// Moves the file `from` to `to` on the same volume, replacing a file there.
// Returns 0 or the system's error number.
int RenameFile(const std::string& from, const std::string& to);

// Removes a file, or an empty directory. Returns 0 or the error number.
int RemoveFile(const std::string& path);
int RemoveEmptyDirectory(const std::string& path);

// The system's description of an error number from this layer.
std::string ErrorText(int error);

// Identity of a file on its volume: two paths name the same file (hard links,
// symbolic links, "./x" and "x") exactly when their identities are equal.
struct FileId {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    friend bool operator==(const FileId&, const FileId&) = default;
};

std::optional<FileId> IdentifyFile(const std::string& path);

// True when the file `name` in directory `dir` is the file at `path`, also
// where the volume gives each spelling of one name its own identity (exFAT
// and other case-folding volumes through FUSE number files by the path they
// were looked up by): there, a regular file on the same volume with the same
// size and the same modification and change times to the nanosecond is
// taken to be the same file. Asked only about names that fold alike.
bool IsSameFileBySpelling(const std::string& dir, const std::string& name, const std::string& path);

// A file opened for reading at any offset; reads share no file position.
class InputFile {
public:
    InputFile() = default;
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Opens `path` for reading. False when it cannot be opened or names a
    // directory; LastError() then says why (EISDIR for a directory).
    bool Open(const std::string& path);
    int LastError() const { return error_; }
    // Length of a regular file, taken when it was opened; 0 for anything
    // without a length (a pipe, a device).
    std::uint64_t Size() const { return size_; }
    // Copies up to `length` bytes from `offset` into `out` and returns how
    // many arrived: fewer at the end of the file or on a read error.
    std::size_t ReadAt(std::uint64_t offset, unsigned char* out, std::size_t length);

private:
    friend class OutputFile;
    friend class FileMapping;
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
    std::uint64_t size_ = 0;
    int error_ = 0;
};

// The whole of an open file as read-only memory, so that an index block of
// tens of MiB is looked at where the system caches it instead of being
// copied into memory allocated for it. Where the system offers no such view
// (Windows here), or the file is a pipe or empty, Data() is null and the
// caller reads.
//
// Another program may shorten the file while it is mapped. Its vanished
// pages then read as zeros instead of stopping the program, and Ready()
// says so: the bytes of a range are looked at only after Ready() for that
// range, so the reader sees a short file, as a positioned read would.
class FileMapping {
public:
    explicit FileMapping(const InputFile& file);
    ~FileMapping();
    FileMapping(const FileMapping&) = delete;
    FileMapping& operator=(const FileMapping&) = delete;

    const unsigned char* Data() const { return data_; }
    // Brings in the pages of [offset, offset + length), which lies within
    // the file's size when it was opened. False when the file has shrunk
    // below them since.
    bool Ready(std::uint64_t offset, std::uint64_t length);

private:
    const unsigned char* data_ = nullptr;
    std::uint64_t size_ = 0;
    int slot_ = -1;
};

// A file opened for writing from its start. It is never opened through a
// symbolic link in its last component, and a file that turns out to be a
// protected one (the package being read) is left untouched.
class OutputFile {
public:
    enum class OpenStatus { Opened, Failed, IsProtectedFile, Exists };

    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates `path` or opens the existing file and truncates it to length 0.
    // Never Exists.
    OpenStatus Open(const std::string& path, std::span<const FileId> protect);
    // Creates the file `name` in directory `dir` only if nothing is there
    // under that name, as the directory compares names: Exists otherwise.
    OpenStatus Create(const std::string& dir, const std::string& name);
    // Opens the existing file `name` in `dir` and truncates it: not through a
    // link, not a protected file, nothing but a regular file. Never Exists.
    OpenStatus Replace(const std::string& dir, const std::string& name,
                       std::span<const FileId> protect);
    // Writes all `length` bytes; false on any failure (device full, limit).
    bool Write(const unsigned char* data, std::size_t length);
    enum class CopyStatus { Copied, Unsupported, Failed };
    // Appends the bytes [offset, offset + length) of `input`, copied by the
    // system without passing through this process (copy_file_range on
    // Linux). Copied: `copied` bytes arrived, fewer than `length` only when
    // `input` ended first. Unsupported: nothing was copied, as this system
    // cannot copy between these two files; copy through memory instead.
    // Failed: LastError() says why, and `copied` bytes were written.
    CopyStatus CopyFrom(const InputFile& input, std::uint64_t offset, std::size_t length,
                        std::size_t& copied);
    // Closes the file; false when the system reports that data was lost.
    bool Close();
    // Error number of the last failed call.
    int LastError() const { return error_; }

private:
#ifdef _WIN32
    OpenStatus CreateWide(const std::wstring& path);
    OpenStatus ReplaceWide(const std::wstring& path, std::span<const FileId> protect);
    void* handle_ = nullptr;
#else
    OpenStatus CreatePath(const std::string& path);
    OpenStatus ReplacePath(const std::string& path, std::span<const FileId> protect);
    int fd_ = -1;
#endif
    int error_ = 0;
};

// True when standard error is an interactive terminal (progress is shown
// only there).
bool StandardErrorIsTerminal();

// Shows a modal information box with one OK button and waits until it is
// dismissed. False when this system has no message-box service.
bool ShowInformationBox(const std::string& caption, const std::string& text);

// Makes a write to a closed pipe, or past a file-size limit (a shell's
// `ulimit -f`), fail with an error the program can handle, instead of ending
// the process mid-write without a word.
void IgnoreWriteSignals();

// Loads the shared library at `path` (a path from the command line) and
// returns the address of its exported function `name`; null when either
// fails, with the system's reason in `why`. The library stays loaded until
// the process ends, so the address stays valid.
void* LoadLibraryFunction(const std::string& path, const char* name, std::string& why);

// `bytes` read in code page 437 (the IBM PC's character set, in which ZIP
// stores names not flagged as UTF-8), as UTF-8 text, through the system's
// own converter; nullopt when it cannot convert them.
std::optional<std::string> Cp437ToUtf8(std::string_view bytes);

// Makes a console show UTF-8 text as characters: on Windows, when standard
// output is a console, its output code page becomes UTF-8. Output to a file
// or a pipe is left as it is, byte for byte; elsewhere there is nothing to do.
void UseUtf8Console();

#ifdef _WIN32
// The program's arguments, as the system hands them over in UTF-16, in
// UTF-8.
std::vector<std::string> Utf8Arguments(int argc, wchar_t** argv);
#endif

} // namespace Kestrune::Platform
