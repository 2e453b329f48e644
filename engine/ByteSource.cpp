#include "ByteSource.h"

#include "Bounds.h"
#include "ByteOrder.h"
#include "Platform.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace Kestrune {

std::size_t MemorySource::ReadAt(std::uint64_t offset, unsigned char* out, std::size_t length) {
    if (!FitsWithin(offset, length, bytes_.size())) {
        return 0;
    }
    std::memcpy(out, bytes_.data() + offset, length);
    return length;
}

std::unique_ptr<FileSource> FileSource::Open(const std::string& path) {
    // A directory opens as a stream on some systems and then reads as nothing;
    // it is no package, so it is refused like a missing file.
    if (Platform::IsDirectory(path)) {
        return nullptr;
    }
    std::ifstream stream(path, std::ios::binary);
    if (!stream.is_open()) {
        return nullptr;
    }
    stream.seekg(0, std::ios::end);
    const std::streamoff end = stream.tellg();
    stream.seekg(0, std::ios::beg);
    // A stream without a length (a pipe, a device) is read as empty.
    const std::uint64_t size = end > 0 ? static_cast<std::uint64_t>(end) : 0;
    stream.clear();
    return std::unique_ptr<FileSource>(new FileSource(std::move(stream), size));
}

std::size_t FileSource::ReadAt(std::uint64_t offset, unsigned char* out, std::size_t length) {
    if (!FitsWithin(offset, length, size_) ||
        offset > static_cast<std::uint64_t>(std::numeric_limits<std::streamoff>::max())) {
        return 0;
    }
    stream_.clear();
    stream_.seekg(static_cast<std::streamoff>(offset), std::ios::beg);
    if (!stream_) {
        return 0;
    }
    std::size_t done = 0;
    while (done < length) {
        const std::size_t step = std::min<std::size_t>(
            length - done, static_cast<std::size_t>(std::numeric_limits<std::streamsize>::max()));
        stream_.read(reinterpret_cast<char*>(out + done), static_cast<std::streamsize>(step));
        const auto got = static_cast<std::size_t>(stream_.gcount());
        done += got;
        if (got != step) {
            break;
        }
    }
    return done;
}

SequentialReader::SequentialReader(ByteSource& source, std::uint64_t start)
    : source_(source), size_(source.Size()), position_(std::min(start, size_)) {}

bool SequentialReader::Read(unsigned char* out, std::size_t length) {
    if (!FitsWithin(position_, length, size_)) {
        return false;
    }
    const std::size_t buffered = bufferEnd_ - bufferBegin_;
    if (length <= buffered) {
        std::memcpy(out, buffer_.data() + bufferBegin_, length);
        bufferBegin_ += length;
        position_ += length;
        return true;
    }

    if (buffered > 0) {
        std::memcpy(out, buffer_.data() + bufferBegin_, buffered);
        out += buffered;
        length -= buffered;
        position_ += buffered;
    }
    bufferBegin_ = bufferEnd_ = 0;

    if (length >= kBufferSize) {
        // Large reads (long names) go straight to their destination.
        const std::size_t got = source_.ReadAt(position_, out, length);
        position_ += got;
        return got == length;
    }

    if (buffer_.empty()) {
        buffer_.resize(kBufferSize);
    }
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kBufferSize, Remaining()));
    bufferEnd_ = source_.ReadAt(position_, buffer_.data(), want);
    if (bufferEnd_ < length) {
        return false;
    }
    std::memcpy(out, buffer_.data(), length);
    bufferBegin_ = length;
    position_ += length;
    return true;
}

bool SequentialReader::ReadU32(std::uint32_t& value) {
    unsigned char bytes[4];
    if (!Read(bytes, sizeof bytes)) {
        return false;
    }
    value = LoadU32LE(bytes);
    return true;
}

bool SequentialReader::ReadU64(std::uint64_t& value) {
    unsigned char bytes[8];
    if (!Read(bytes, sizeof bytes)) {
        return false;
    }
    value = LoadU64LE(bytes);
    return true;
}

bool SequentialReader::ReadString(std::uint64_t length, std::string& out) {
    // Checked before the allocation: a name can never be longer than what is
    // left of the package, so memory stays proportional to the package size.
    if (!FitsWithin(position_, length, size_) || length > std::numeric_limits<std::size_t>::max()) {
        return false;
    }
    out.resize(static_cast<std::size_t>(length));
    return Read(reinterpret_cast<unsigned char*>(out.data()), out.size());
}

} // namespace Kestrune
