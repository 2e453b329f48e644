#include "Platform.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
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

OutputFile::~OutputFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

OutputFile::OpenStatus OutputFile::Open(const std::string& path,
                                        const std::optional<FileId>& protect) {
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
    if (protect && IdOf(info) == *protect) {
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

void IgnoreBrokenPipeSignal() {
    std::signal(SIGPIPE, SIG_IGN);
}

} // namespace Kestrune::Platform
