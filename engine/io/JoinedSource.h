#pragma once

#include "ByteSource.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Kestrune {

// The bytes of several files one after the other, read where they lie: a
// file that was cut into parts is read as the one file it was, without
// writing it anywhere. Each read goes to the part (or parts) that hold the
// range asked for; no byte is held beyond the caller's buffer.
class JoinedSource final : public ByteSource {
public:
    // The parts, in order; none may be null.
    explicit JoinedSource(std::vector<std::unique_ptr<FileSource>> parts);

    std::uint64_t Size() const override { return size_; }
    std::size_t ReadAt(std::uint64_t offset, unsigned char* out, std::size_t length) override;
    std::string Defect() const override { return defect_; }

    // Marks the joined bytes as not the file they stand for (a part is
    // missing, the length is not the one the file states): every walk over
    // them is then refused with this reason.
    void SetDefect(std::string why) { defect_ = std::move(why); }

private:
    std::vector<std::unique_ptr<FileSource>> parts_;
    std::vector<std::uint64_t> starts_; // starts_[i]: offset of part i; back() = size_
    std::uint64_t size_ = 0;
    std::string defect_;
};

} // namespace Kestrune
