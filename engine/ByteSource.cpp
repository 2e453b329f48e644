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
    // Read with positioned reads of the system rather than a stream: no seek
    // before each read, and no stream buffer between the file and the caller.
    std::unique_ptr<FileSource> source(new FileSource());
    if (!source->file_.Open(path)) {
        return nullptr;
    }
    return source;
}

std::size_t FileSource::ReadAt(std::uint64_t offset, unsigned char* out, std::size_t length) {
    if (!FitsWithin(offset, length, Size())) {
        return 0;
    }
    return file_.ReadAt(offset, out, length);
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
