#pragma once

#include "ByteOrder.h"
#include "Platform.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Kestrune {

// Random-access bytes of one package. The readers parse through this rather
// than a path, so the same code serves files, in-memory test packages and the
// fuzzers.
class ByteSource {
public:
    virtual ~ByteSource() = default;

    // Length in bytes, taken once when the source is opened.
    virtual std::uint64_t Size() const = 0;

    // Copies up to `length` bytes from `offset` into `out` and returns how many
    // arrived: fewer when the underlying file has shrunk since it was opened.
    // Callers ask only for ranges that lie within Size().
    virtual std::size_t ReadAt(std::uint64_t offset, unsigned char* out, std::size_t length) = 0;

    // All Size() bytes in memory, where the source has them without copying
    // (a mapped file, a memory source); null otherwise. Bytes of it may be
    // looked at only once Ready() has said yes for them.
    virtual const unsigned char* Bytes() { return nullptr; }
    // True when [offset, offset + length), within Size(), can be looked at
    // in Bytes(); false when the file has shrunk below them since it was
    // opened, as a short ReadAt would tell.
    virtual bool Ready(std::uint64_t offset, std::uint64_t length) {
        static_cast<void>(offset);
        static_cast<void>(length);
        return false;
    }

    // Why these bytes are not the file they stand for (a file joined from
    // parts, one of which is missing), in words; empty when they are.
    // Every walk over a source with a defect is refused with it.
    virtual std::string Defect() const { return {}; }
};

class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::span<const unsigned char> bytes) : bytes_(bytes) {}
    explicit MemorySource(const std::string& bytes)
        : bytes_(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) {}

    std::uint64_t Size() const override { return bytes_.size(); }
    std::size_t ReadAt(std::uint64_t offset, unsigned char* out, std::size_t length) override;
    const unsigned char* Bytes() override { return bytes_.data(); }
    bool Ready(std::uint64_t, std::uint64_t) override { return true; }

private:
    std::span<const unsigned char> bytes_;
};

class FileSource final : public ByteSource {
public:
    // Opens a file for binary reading; null when it cannot be opened or
    // names a directory, with the system's error number in `error` if given.
    static std::unique_ptr<FileSource> Open(const std::string& path, int* error = nullptr);

    std::uint64_t Size() const override { return file_.Size(); }
    std::size_t ReadAt(std::uint64_t offset, unsigned char* out, std::size_t length) override;
    // Files from 1 MiB on are mapped the first time this is asked; smaller
    // ones cost little to read.
    const unsigned char* Bytes() override;
    bool Ready(std::uint64_t offset, std::uint64_t length) override {
        return mapping_ && mapping_->Ready(offset, length);
    }

    // The open file itself, for copies that the system makes between files.
    const Platform::InputFile& File() const { return file_; }

private:
    FileSource() = default;

    Platform::InputFile file_;
    std::unique_ptr<Platform::FileMapping> mapping_;
    std::once_flag mapOnce_;
};

// Forward reader over a ByteSource with its own buffer, so that walking an
// index of a million small records costs a handful of system calls. Every read
// is checked against the source's size first: a declared length that runs past
// the end fails without reading or allocating anything.
class SequentialReader {
public:
    // Reads from `start` up to `end` (the end of the source by default):
    // nothing beyond `end` is ever read.
    SequentialReader(ByteSource& source, std::uint64_t start, std::uint64_t end = UINT64_MAX);

    std::uint64_t Position() const { return position_; }
    std::uint64_t Remaining() const { return size_ - position_; }

    bool Read(unsigned char* out, std::size_t length) {
        // Bytes already buffered lie inside the source: no further check.
        if (length <= bufferEnd_ - bufferBegin_) {
            std::memcpy(out, buffer_.data() + bufferBegin_, length);
            bufferBegin_ += length;
            position_ += length;
            return true;
        }
        return ReadBeyondBuffer(out, length);
    }
    bool ReadU32(std::uint32_t& value) {
        unsigned char bytes[4];
        if (!Read(bytes, sizeof bytes)) {
            return false;
        }
        value = LoadU32LE(bytes);
        return true;
    }
    // Points `out` at the next `length` bytes without copying them when they
    // fit in the buffer (valid until the next read), otherwise reads them
    // into `spill`.
    bool ReadView(std::uint64_t length, std::string_view& out, std::string& spill) {
        if (length <= bufferEnd_ - bufferBegin_) {
            out = std::string_view(reinterpret_cast<const char*>(buffer_.data() + bufferBegin_),
                                   static_cast<std::size_t>(length));
            bufferBegin_ += static_cast<std::size_t>(length);
            position_ += length;
            return true;
        }
        return ReadViewBeyondBuffer(length, out, spill);
    }

    // Points `out` at the bytes up to the next NUL and moves past that NUL.
    // The view is valid until the next read; a string longer than the buffer
    // is gathered in `spill`. False when no NUL comes before the end.
    bool ReadCString(std::string_view& out, std::string& spill);
    // Moves `length` bytes on without reading them; false past the end.
    bool Skip(std::uint64_t length);

private:
    static constexpr std::size_t kBufferSize = 128 * 1024;

    // Makes the next `length` bytes (at most kBufferSize, inside the source)
    // contiguous in buffer_, moving what is left to its front and reading on.
    bool Buffer(std::size_t length);
    bool ReadBeyondBuffer(unsigned char* out, std::size_t length);
    bool ReadViewBeyondBuffer(std::uint64_t length, std::string_view& out, std::string& spill);

    ByteSource& source_;
    std::uint64_t size_;
    std::uint64_t position_;
    std::vector<unsigned char> buffer_;
    std::size_t bufferBegin_ = 0; // next unread byte in buffer_
    std::size_t bufferEnd_ = 0;   // one past the last valid byte in buffer_
};

} // namespace Kestrune
