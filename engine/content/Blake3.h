#pragma once

// BLAKE3 (unkeyed hash mode), as IoStore containers keep the first 20 bytes
// of it for every chunk. Debian packages no BLAKE3 library for C or C++, so
// this is the portable one-lane form of the algorithm: a compression
// function over 64-byte blocks, 1 KiB chunks, and a binary tree of chunk
// chaining values merged as the chunks complete.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace Kestrune {

using Blake3Digest = std::array<unsigned char, 32>;

// BLAKE3 over data that arrives in pieces of any size.
class Blake3Hasher {
public:
    Blake3Hasher() { Reset(); }
    void Reset();
    void Update(std::span<const unsigned char> data);
    // The 32-byte default-length output; the hasher must be Reset() before reuse.
    Blake3Digest Finish();

private:
    void CompressBlock(bool last);
    void PushChunk(const std::array<std::uint32_t, 8>& cv);

    std::array<std::uint32_t, 8> cv_{}; // of the chunk being read
    std::array<unsigned char, 64> block_{};
    std::size_t blockLength_ = 0;
    std::uint32_t blocksDone_ = 0; // in the current chunk
    std::uint64_t chunk_ = 0;      // number of the current chunk
    // Chaining values of complete subtrees, one per set bit of the chunk
    // count: 54 levels cover 2^64 bytes.
    std::array<std::array<std::uint32_t, 8>, 54> stack_{};
    std::size_t depth_ = 0;
};

Blake3Digest Blake3(std::span<const unsigned char> data);

} // namespace Kestrune
