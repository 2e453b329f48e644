#include "Platform.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace Kestrune::Platform {

bool IsDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

int MakeDirectory(const std::string& path) {
    // 0777 before the umask, as the user's other tools create directories.
    return ::mkdir(path.c_str(), 0777) == 0 ? 0 : errno;
}

std::optional<std::vector<std::string>> ListDirectory(const std::string& dir) {
    DIR* stream = ::opendir(dir.empty() ? "/" : dir.c_str());
    if (stream == nullptr) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    while (const dirent* item = ::readdir(stream)) {
        const std::string_view name = item->d_name;
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
    }
    ::closedir(stream);
    return names;
}

bool FoldsLetterCase(const std::string& dir) {
    // The probe's name is one no entry's file can have been given yet (none
    // is written before this) and that is very unlikely to be in DIR already;
    // if its upper-case spelling is, another is tried.
    const std::string prefix = dir + "/.kestrune-case-probe-" + std::to_string(::getpid()) + "-";
    for (int attempt = 0; attempt < 8; ++attempt) {
        const std::string lower = prefix + std::to_string(attempt);
        std::string upper = lower;
        std::transform(upper.begin() + static_cast<std::ptrdiff_t>(dir.size()), upper.end(),
                       upper.begin() + static_cast<std::ptrdiff_t>(dir.size()), [](char c) {
                           return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
                       });
        struct stat info {};
        if (::lstat(upper.c_str(), &info) == 0) {
            continue;
        }
        const int fd = ::open(lower.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) {
                continue;
            }
            return false;
        }
        ::close(fd);
        const bool folds = ::lstat(upper.c_str(), &info) == 0;
        ::unlink(lower.c_str());
        return folds;
    }
    return false;
}

std::string ErrorText(int error) {
    return std::strerror(error);
}

namespace {

FileId IdOf(const struct stat& info) {
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

} // namespace

std::optional<FileId> IdentifyFile(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    return IdOf(info);
}

bool IsSameFileBySpelling(const std::string& dir, const std::string& name,
                          const std::string& path) {
    struct stat a {};
    struct stat b {};
    if (::stat((dir + "/" + name).c_str(), &a) != 0 || ::stat(path.c_str(), &b) != 0) {
        return false;
    }
    if (IdOf(a) == IdOf(b)) {
        return true;
    }
    return S_ISREG(a.st_mode) && S_ISREG(b.st_mode) && a.st_dev == b.st_dev &&
           a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
           a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

InputFile::~InputFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool InputFile::Open(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        return false;
    }
    struct stat info {};
    if (::fstat(fd_, &info) != 0 || S_ISDIR(info.st_mode)) {
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    size_ =
        S_ISREG(info.st_mode) && info.st_size > 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
    return true;
}

std::size_t InputFile::ReadAt(std::uint64_t offset, unsigned char* out, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        if (offset + done > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
            break;
        }
        const ssize_t got =
            ::pread(fd_, out + done, length - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return done;
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

OutputFile::OpenStatus OutputFile::Open(const std::string& path, std::span<const FileId> protect) {
    const OpenStatus created = CreatePath(path);
    return created == OpenStatus::Exists ? ReplacePath(path, protect) : created;
}

OutputFile::OpenStatus OutputFile::Create(const std::string& dir, const std::string& name) {
    return CreatePath(dir + "/" + name);
}

OutputFile::OpenStatus OutputFile::Replace(const std::string& dir, const std::string& name,
                                           std::span<const FileId> protect) {
    return ReplacePath(dir + "/" + name, protect);
}

OutputFile::OpenStatus OutputFile::CreatePath(const std::string& path) {
    // Nearly every output is a new file. One created here exclusively is new,
    // empty and regular: it cannot be the package and needs neither the
    // identity check nor truncation, which saves two system calls per entry
    // and, on ext4, the flush of the file's data that a truncation to zero
    // arms for its close. O_EXCL never follows a symbolic link. It also
    // fails where the directory knows the name under another spelling (a
    // volume that folds letter case), which is how such a merge is noticed.
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
        return OpenStatus::Opened;
    }
    error_ = errno;
    return errno == EEXIST ? OpenStatus::Exists : OpenStatus::Failed;
}

OutputFile::OpenStatus OutputFile::ReplacePath(const std::string& path,
                                               std::span<const FileId> protect) {
    // Opened without O_TRUNC: the file is identified first, so the package
    // itself is never truncated, whatever link or spelling led to it.
    // O_NONBLOCK keeps a FIFO planted under an entry's name from hanging the
    // open; it changes nothing for regular files.
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd_ < 0) {
        error_ = errno;
        return OpenStatus::Failed;
    }
    struct stat info {};
    if (::fstat(fd_, &info) != 0) {
        error_ = errno;
        return OpenStatus::Failed;
    }
    if (std::find(protect.begin(), protect.end(), IdOf(info)) != protect.end()) {
        ::close(fd_);
        fd_ = -1;
        return OpenStatus::IsProtectedFile;
    }
    if (!S_ISREG(info.st_mode)) {
        // A FIFO or device under an entry's name is not ours to write into.
        error_ = EINVAL;
        return OpenStatus::Failed;
    }
    if (::ftruncate(fd_, 0) != 0) {
        error_ = errno;
        return OpenStatus::Failed;
    }
    return OpenStatus::Opened;
}

bool OutputFile::Write(const unsigned char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(fd_, data, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            error_ = errno;
            return false;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

OutputFile::CopyStatus OutputFile::CopyFrom(const InputFile& input, std::uint64_t offset,
                                            std::size_t length, std::size_t& copied) {
    copied = 0;
#ifdef __linux__
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        return CopyStatus::Unsupported;
    }
    auto from = static_cast<off_t>(offset);
    while (copied < length) {
        const ssize_t step = ::copy_file_range(input.fd_, &from, fd_, nullptr, length - copied, 0);
        if (step < 0) {
            if (errno == EINTR) {
                continue;
            }
            // Kernels and file systems that cannot copy between these files
            // say so before copying anything.
            if (copied == 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                                errno == EOPNOTSUPP || errno == EBADF)) {
                return CopyStatus::Unsupported;
            }
            error_ = errno;
            return CopyStatus::Failed;
        }
        if (step == 0) {
            break; // the input ends here
        }
        copied += static_cast<std::size_t>(step);
    }
    return CopyStatus::Copied;
#else
    (void)input;
    (void)offset;
    (void)length;
    return CopyStatus::Unsupported;
#endif
}

bool OutputFile::Close() {
    const int fd = fd_;
    fd_ = -1;
    if (fd >= 0 && ::close(fd) != 0) {
        error_ = errno;
        return false;
    }
    return true;
}

bool StandardErrorIsTerminal() {
    return ::isatty(STDERR_FILENO) == 1;
}

bool ShowInformationBox(const std::string&, const std::string&) {
    // No message-box service on a plain console system.
    return false;
}

void IgnoreWriteSignals() {
    std::signal(SIGPIPE, SIG_IGN);
    // Past the limit a write then fails with EFBIG, reported like a full
    // device; the signal would end the process with no failure named.
    std::signal(SIGXFSZ, SIG_IGN);
}

void* LoadLibraryFunction(const std::string& path, const char* name, std::string& why) {
    // A path without a slash would be searched for in the system's library
    // directories; the user names a file, so it is taken as one.
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    void* library = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* error = ::dlerror();
        why = error != nullptr ? error : "cannot be loaded";
        return nullptr;
    }
    ::dlerror();
    void* function = ::dlsym(library, name);
    if (function == nullptr) {
        why = std::string("it has no function ") + name;
        return nullptr;
    }
    return function;
}

} // namespace Kestrune::Platform
