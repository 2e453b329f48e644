#pragma once

// Decoded blocks that several entries share (a Unity bundle's block holds
// many small files), kept for the next entry that needs the same block, so
// that each shared block is decoded once per command however many entries
// use it. One cache serves all extraction threads of a package.

#include "ArchiveEntry.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace Kestrune {

// One piece, decoded as far as it would go: `bytes` are the content that
// decoded, `failure` why the rest did not (kept, so that a damaged block
// shared by many entries is not decoded again for each).
struct DecodedBlock {
    std::vector<unsigned char> bytes;
    std::optional<std::string> failure;
    bool wrongLength = false;
};

class BlockCache {
public:
    using Block = std::shared_ptr<const DecodedBlock>;

    // The block decoded from piece `piece` of `content`; null when not kept.
    Block Find(const SharedContent* content, std::uint32_t piece);
    // Keeps `block`, dropping the blocks used longest ago while the kept
    // bytes would exceed `limit`.
    void Keep(std::shared_ptr<const SharedContent> content, std::uint32_t piece, Block block,
              std::uint64_t limit);

private:
    struct Kept {
        std::shared_ptr<const SharedContent> content; // keeps the key's address unique
        std::uint32_t piece = 0;
        Block block;
    };
    std::mutex lock_;
    std::vector<Kept> kept_; // the most recently used last
    std::uint64_t bytes_ = 0;
};

} // namespace Kestrune
