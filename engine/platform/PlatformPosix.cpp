#include "Platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <iconv.h>
#include <limits>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace Kestrune::Platform {

bool IsDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsPlainDirectory(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
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

PathKind LinkStatus(const std::string& path, std::uint64_t* size) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return PathKind::Missing;
    }
    if (size != nullptr) {
        *size = static_cast<std::uint64_t>(info.st_size);
    }
    if (S_ISLNK(info.st_mode)) {
        return PathKind::Link;
    }
    return S_ISDIR(info.st_mode)   ? PathKind::Directory
           : S_ISREG(info.st_mode) ? PathKind::File
                                   : PathKind::Other;
}

std::optional<std::string> ResolvedPath(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        return std::nullopt;
    }
    std::string result(resolved);
    std::free(resolved);
    return result;
}

int RenameFile(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int RemoveFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

int RemoveEmptyDirectory(const std::string& path) {
    return ::rmdir(path.c_str()) == 0 ? 0 : errno;
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
        error_ = errno;
        return false;
    }
    struct stat info {};
    if (::fstat(fd_, &info) != 0 || S_ISDIR(info.st_mode)) {
        error_ = S_ISDIR(info.st_mode) ? EISDIR : errno;
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    size_ =
        S_ISREG(info.st_mode) && info.st_size > 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
    return true;
}

namespace {

// The files mapped at this moment, for the bus-error handler: a fault in
// one of them means the file was shortened under us.
struct LiveMapping {
    std::atomic<std::uintptr_t> begin{0};
    std::atomic<std::uintptr_t> end{0};
    std::atomic<bool> shrank{false};
};
constexpr int kMappingSlots = 16;
LiveMapping gMappings[kMappingSlots];
struct sigaction gPreviousBusAction {};
// Taken before the handler is installed: sysconf is not safe in a handler.
std::uintptr_t gPageSize = 4096;

void OnBusError(int, siginfo_t* info, void*) {
    const auto at = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (LiveMapping& m : gMappings) {
        if (m.begin.load() <= at && at < m.end.load()) {
            // A page the file no longer has: zeros in its place, so the
            // reading goes on to Ready(), which reports the shrinking.
            void* start = reinterpret_cast<void*>(at & ~(gPageSize - 1));
            if (::mmap(start, gPageSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1,
                       0) != MAP_FAILED) {
                m.shrank.store(true);
                return;
            }
        }
    }
    // Not one of ours: the fault recurs under the disposition there was.
    ::sigaction(SIGBUS, &gPreviousBusAction, nullptr);
}

bool WatchBusErrors() {
    static const bool installed = [] {
        gPageSize = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
        struct sigaction action {};
        action.sa_sigaction = OnBusError;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        return ::sigaction(SIGBUS, &action, &gPreviousBusAction) == 0;
    }();
    return installed;
}

} // namespace

FileMapping::FileMapping(const InputFile& file) : size_(file.Size()) {
    if (file.fd_ < 0 || size_ == 0 || size_ > std::numeric_limits<std::size_t>::max() ||
        !WatchBusErrors()) {
        return;
    }
    void* view =
        ::mmap(nullptr, static_cast<std::size_t>(size_), PROT_READ, MAP_SHARED, file.fd_, 0);
    if (view == MAP_FAILED) {
        return;
    }
    const auto begin = reinterpret_cast<std::uintptr_t>(view);
    for (int i = 0; i < kMappingSlots; ++i) {
        std::uintptr_t free = 0;
        if (gMappings[i].begin.compare_exchange_strong(free, begin)) {
            gMappings[i].shrank.store(false);
            gMappings[i].end.store(begin + static_cast<std::uintptr_t>(size_));
            slot_ = i;
            data_ = static_cast<const unsigned char*>(view);
            return;
        }
    }
    ::munmap(view, static_cast<std::size_t>(size_)); // every slot taken: read instead
}

FileMapping::~FileMapping() {
    if (data_ != nullptr) {
        ::munmap(const_cast<unsigned char*>(data_), static_cast<std::size_t>(size_));
        gMappings[slot_].end.store(0);
        gMappings[slot_].begin.store(0);
    }
}

bool FileMapping::Ready(std::uint64_t offset, std::uint64_t length) {
    if (data_ == nullptr || offset > size_ || length > size_ - offset) {
        return false;
    }
    const std::uint64_t page = gPageSize;
    const std::uint64_t from = offset - offset % page;
#ifdef MADV_POPULATE_READ
    // The pages mapped in one call rather than one fault each; a range the
    // file no longer reaches fails here instead of faulting.
    if (length > 0) {
        const int done =
            ::madvise(const_cast<unsigned char*>(data_) + from,
                      static_cast<std::size_t>(offset + length - from), MADV_POPULATE_READ);
        if (done != 0 && errno != EINVAL) {
            return false;
        }
        if (done == 0) {
            return !gMappings[slot_].shrank.load();
        }
    }
#endif
    // One byte of every page (where the system cannot map them in one
    // call): a page the file lost faults now, not in the middle of a record.
    const volatile unsigned char* bytes = data_;
    for (std::uint64_t at = from; at < offset + length; at += page) {
        static_cast<void>(bytes[at]);
    }
    return !gMappings[slot_].shrank.load();
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

void UseUtf8Console() {
    // Terminals here take the bytes as they come.
}

std::optional<std::string> Cp437ToUtf8(std::string_view bytes) {
    // One converter per thread, opened on first use: opening costs far more
    // than converting a name.
    struct Converter {
        iconv_t state = iconv_open("UTF-8", "CP437");
        ~Converter() {
            if (state != reinterpret_cast<iconv_t>(-1)) {
                iconv_close(state);
            }
        }
    };
    thread_local Converter converter;
    if (converter.state == reinterpret_cast<iconv_t>(-1)) {
        return std::nullopt;
    }
    iconv(converter.state, nullptr, nullptr, nullptr, nullptr); // a fresh shift state
    // Each byte becomes at most three bytes of UTF-8.
    std::string out(bytes.size() * 3, '\0');
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    char* to = out.data();
    std::size_t outLeft = out.size();
    if (iconv(converter.state, &in, &inLeft, &to, &outLeft) == static_cast<std::size_t>(-1) ||
        inLeft != 0) {
        return std::nullopt;
    }
    out.resize(out.size() - outLeft);
    return out;
}

} // namespace Kestrune::Platform
