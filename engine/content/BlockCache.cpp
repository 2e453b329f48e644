#include "BlockCache.h"

#include <algorithm>

namespace Kestrune {

BlockCache::Block BlockCache::Find(const SharedContent* content, std::uint32_t piece) {
    std::lock_guard<std::mutex> hold(lock_);
    const auto found = std::find_if(kept_.begin(), kept_.end(), [&](const Kept& kept) {
        return kept.content.get() == content && kept.piece == piece;
    });
    if (found == kept_.end()) {
        return nullptr;
    }
    Block block = found->block;
    std::rotate(found, found + 1, kept_.end()); // now the most recently used
    return block;
}

void BlockCache::Keep(std::shared_ptr<const SharedContent> content, std::uint32_t piece,
                      Block block, std::uint64_t limit) {
    const std::uint64_t size = block->bytes.size();
    std::lock_guard<std::mutex> hold(lock_);
    for (const Kept& kept : kept_) {
        if (kept.content == content && kept.piece == piece) {
            return; // the other thread decoded it too
        }
    }
    std::size_t drop = 0;
    while (drop < kept_.size() && bytes_ + size > limit) {
        bytes_ -= kept_[drop++].block->bytes.size();
    }
    kept_.erase(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(drop));
    if (bytes_ + size <= limit) {
        bytes_ += size;
        kept_.push_back({std::move(content), piece, std::move(block)});
    }
}

} // namespace Kestrune
