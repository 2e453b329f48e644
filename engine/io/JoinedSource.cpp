#include "JoinedSource.h"

#include "Bounds.h"

#include <algorithm>

namespace Kestrune {

JoinedSource::JoinedSource(std::vector<Part> parts) : parts_(std::move(parts)) {
    starts_.reserve(parts_.size() + 1);
    for (const Part& part : parts_) {
        starts_.push_back(size_);
        size_ += part.size;
    }
    starts_.push_back(size_);
    open_.resize(parts_.size());
}

FileSource* JoinedSource::Opened(std::size_t index) {
    if (open_[index]) {
        return open_[index].get();
    }
    if (openOrder_.size() >= kOpenLimit) {
        open_[openOrder_.front()].reset();
        openOrder_.pop_front();
    }
    open_[index] = FileSource::Open(parts_[index].path);
    if (open_[index]) {
        openOrder_.push_back(index);
    }
    return open_[index].get();
}

std::size_t JoinedSource::ReadAt(std::uint64_t offset, unsigned char* out, std::size_t length) {
    if (!FitsWithin(offset, length, size_)) {
        return 0;
    }
    std::lock_guard<std::mutex> hold(lock_);
    // The part holding `offset`: the last one that starts at or before it
    // (empty parts are passed over by taking the last such start).
    auto at = std::upper_bound(starts_.begin(), starts_.end() - 1, offset) - starts_.begin() - 1;
    std::size_t done = 0;
    while (done < length && static_cast<std::size_t>(at) < parts_.size()) {
        const auto index = static_cast<std::size_t>(at);
        const std::uint64_t within = offset + done - starts_[index];
        const auto step = static_cast<std::size_t>(
            std::min<std::uint64_t>(length - done, parts_[index].size - within));
        FileSource* part = step > 0 ? Opened(index) : nullptr;
        const std::size_t got = part != nullptr && FitsWithin(within, step, part->Size())
                                    ? part->ReadAt(within, out + done, step)
                                    : 0;
        done += got;
        if (got < step) {
            break; // the part is gone or has shrunk since the set was opened
        }
        ++at;
    }
    return done;
}

} // namespace Kestrune
