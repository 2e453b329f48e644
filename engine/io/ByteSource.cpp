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

std::unique_ptr<FileSource> FileSource::Open(const std::string& path, int* error) {
    // Read with positioned reads of the system rather than a stream: no seek
    // before each read, and no stream buffer between the file and the caller.
    std::unique_ptr<FileSource> source(new FileSource());
    if (!source->file_.Open(path)) {
        if (error != nullptr) {
            *error = source->file_.LastError();
        }
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

const unsigned char* FileSource::Bytes() {
    constexpr std::uint64_t kMapFrom = 1024 * 1024;
    std::call_once(mapOnce_, [this] {
        if (Size() >= kMapFrom) {
            mapping_ = std::make_unique<Platform::FileMapping>(file_);
            if (mapping_->Data() == nullptr) {
                mapping_.reset();
            }
        }
    });
    return mapping_ ? mapping_->Data() : nullptr;
}

SequentialReader::SequentialReader(ByteSource& source, std::uint64_t start, std::uint64_t end)
    : source_(source), size_(std::min(end, source.Size())), position_(std::min(start, size_)) {}

bool SequentialReader::ReadCString(std::string_view& out, std::string& spill) {
    const auto take = [&](std::size_t length) {
        out =
            std::string_view(reinterpret_cast<const char*>(buffer_.data() + bufferBegin_), length);
        bufferBegin_ += length + 1;
        position_ += length + 1;
    };
    const auto findNul = [&]() -> const void* {
        return std::memchr(buffer_.data() + bufferBegin_, 0, bufferEnd_ - bufferBegin_);
    };
    if (bufferEnd_ > bufferBegin_) {
        if (const void* nul = findNul()) {
            take(static_cast<std::size_t>(static_cast<const unsigned char*>(nul) -
                                          (buffer_.data() + bufferBegin_)));
            return true;
        }
    }
    // Refill as far as the buffer goes; most strings then lie in it whole.
    const auto fill = static_cast<std::size_t>(std::min<std::uint64_t>(kBufferSize, Remaining()));
    if (fill == 0 || !Buffer(fill)) {
        return false;
    }
    if (const void* nul = findNul()) {
        take(static_cast<std::size_t>(static_cast<const unsigned char*>(nul) -
                                      (buffer_.data() + bufferBegin_)));
        return true;
    }
    // Longer than the buffer: gather it, one buffer at a time. The string
    // can grow no larger than what is left of the region.
    spill.clear();
    for (;;) {
        const std::size_t buffered = bufferEnd_ - bufferBegin_;
        const void* nul = findNul();
        const std::size_t part =
            nul != nullptr ? static_cast<std::size_t>(static_cast<const unsigned char*>(nul) -
                                                      (buffer_.data() + bufferBegin_))
                           : buffered;
        spill.append(reinterpret_cast<const char*>(buffer_.data() + bufferBegin_), part);
        if (nul != nullptr) {
            bufferBegin_ += part + 1;
            position_ += part + 1;
            out = spill;
            return true;
        }
        bufferBegin_ = bufferEnd_;
        position_ += buffered;
        const auto next =
            static_cast<std::size_t>(std::min<std::uint64_t>(kBufferSize, Remaining()));
        if (next == 0 || !Buffer(next)) {
            return false;
        }
    }
}

bool SequentialReader::Skip(std::uint64_t length) {
    if (!FitsWithin(position_, length, size_)) {
        return false;
    }
    const std::size_t buffered = bufferEnd_ - bufferBegin_;
    if (length <= buffered) {
        bufferBegin_ += static_cast<std::size_t>(length);
    } else {
        bufferBegin_ = bufferEnd_ = 0;
    }
    position_ += length;
    return true;
}

bool SequentialReader::Buffer(std::size_t length) {
    const std::size_t buffered = bufferEnd_ - bufferBegin_;
    if (length <= buffered) {
        return true;
    }
    if (buffer_.empty()) {
        // No larger than what is left to read: a small package (every input
        // a fuzzer tries) does not pay for clearing a buffer it cannot fill.
        // What is left only shrinks, so every later request still fits.
        buffer_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kBufferSize, Remaining())));
    }
    if (buffered > 0) {
        std::memmove(buffer_.data(), buffer_.data() + bufferBegin_, buffered);
    }
    bufferBegin_ = 0;
    bufferEnd_ = buffered;
    const auto want = static_cast<std::size_t>(
        std::min<std::uint64_t>(buffer_.size() - buffered, Remaining() - buffered));
    if (want > 0) {
        bufferEnd_ += source_.ReadAt(position_ + buffered, buffer_.data() + buffered, want);
    }
    return bufferEnd_ >= length;
}

bool SequentialReader::ReadBeyondBuffer(unsigned char* out, std::size_t length) {
    if (!FitsWithin(position_, length, size_)) {
        return false;
    }
    if (length > kBufferSize) {
        // Large reads (long names) go straight to their destination.
        const std::size_t buffered = bufferEnd_ - bufferBegin_;
        if (buffered > 0) {
            std::memcpy(out, buffer_.data() + bufferBegin_, buffered);
        }
        bufferBegin_ = bufferEnd_ = 0;
        position_ += buffered;
        const std::size_t got = source_.ReadAt(position_, out + buffered, length - buffered);
        position_ += got;
        return got == length - buffered;
    }
    if (!Buffer(length)) {
        return false;
    }
    std::memcpy(out, buffer_.data() + bufferBegin_, length);
    bufferBegin_ += length;
    position_ += length;
    return true;
}

bool SequentialReader::ReadViewBeyondBuffer(std::uint64_t length, std::string_view& out,
                                            std::string& spill) {
    // Checked before any allocation: a name can never be longer than what is
    // left of the package, so memory stays proportional to the package size.
    if (!FitsWithin(position_, length, size_) || length > std::numeric_limits<std::size_t>::max()) {
        return false;
    }
    if (length > kBufferSize) {
        spill.resize(static_cast<std::size_t>(length));
        if (!Read(reinterpret_cast<unsigned char*>(spill.data()), spill.size())) {
            return false;
        }
        out = spill;
        return true;
    }
    const auto count = static_cast<std::size_t>(length);
    if (!Buffer(count)) {
        return false;
    }
    out = std::string_view(reinterpret_cast<const char*>(buffer_.data() + bufferBegin_), count);
    bufferBegin_ += count;
    position_ += count;
    return true;
}

} // namespace Kestrune
