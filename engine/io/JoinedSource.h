#pragma once

#include "ByteSource.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Kestrune {

// The bytes of several files one after the other, read where they lie: a
// file that was cut into parts is read as the one file it was, without
// writing it anywhere. Each read goes to the part (or parts) that hold the
// range asked for; no byte is held beyond the caller's buffer. Parts are
// opened when a read first needs them, and only a few stay open at a time,
// so that a set of a thousand parts needs no thousand open files.
class JoinedSource final : public ByteSource {
public:
    struct Part {
        std::string path;
        std::uint64_t size = 0; ///< As found when the set was opened.
    };
    explicit JoinedSource(std::vector<Part> parts);

    std::uint64_t Size() const override { return size_; }
    // Safe to call from several threads: reads take turns.
    std::size_t ReadAt(std::uint64_t offset, unsigned char* out, std::size_t length) override;
    std::string Defect() const override { return defect_; }

    // Marks the joined bytes as not the file they stand for (a part is
    // missing, the length is not the one the file states): every walk over
    // them is then refused with this reason.
    void SetDefect(std::string why) { defect_ = std::move(why); }

private:
    static constexpr std::size_t kOpenLimit = 8;
    FileSource* Opened(std::size_t index);

    std::vector<Part> parts_;
    std::vector<std::uint64_t> starts_; // starts_[i]: offset of part i; back() = size_
    std::uint64_t size_ = 0;
    std::string defect_;
    std::mutex lock_;
    std::vector<std::unique_ptr<FileSource>> open_; // by part; null: closed
    std::deque<std::size_t> openOrder_;             // oldest first
};

} // namespace Kestrune
