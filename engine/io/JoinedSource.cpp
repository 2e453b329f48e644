#include "JoinedSource.h"

#include "Bounds.h"

#include <algorithm>

namespace Kestrune {

JoinedSource::JoinedSource(std::vector<std::unique_ptr<FileSource>> parts)
    : parts_(std::move(parts)) {
    starts_.reserve(parts_.size() + 1);
    for (const auto& part : parts_) {
        starts_.push_back(size_);
        size_ += part->Size();
    }
    starts_.push_back(size_);
}

std::size_t JoinedSource::ReadAt(std::uint64_t offset, unsigned char* out, std::size_t length) {
    if (!FitsWithin(offset, length, size_)) {
        return 0;
    }
    // The part holding `offset`: the last one that starts at or before it
    // (empty parts are passed over by taking the last such start).
    auto at = std::upper_bound(starts_.begin(), starts_.end() - 1, offset) - starts_.begin() - 1;
    std::size_t done = 0;
    while (done < length && static_cast<std::size_t>(at) < parts_.size()) {
        const auto index = static_cast<std::size_t>(at);
        const std::uint64_t within = offset + done - starts_[index];
        const std::uint64_t partSize = starts_[index + 1] - starts_[index];
        const auto step =
            static_cast<std::size_t>(std::min<std::uint64_t>(length - done, partSize - within));
        const std::size_t got = parts_[index]->ReadAt(within, out + done, step);
        done += got;
        if (got < step) {
            break; // the part has shrunk since it was opened
        }
        ++at;
    }
    return done;
}

} // namespace Kestrune
