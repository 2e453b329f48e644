#include "Blake3.h"

#include "ByteOrder.h"

#include <algorithm>
#include <cstring>

namespace Kestrune {
namespace {

constexpr std::size_t kBlockLength = 64;
constexpr std::size_t kChunkLength = 1024;
constexpr std::uint32_t kChunkStart = 1;
constexpr std::uint32_t kChunkEnd = 2;
constexpr std::uint32_t kParent = 4;
constexpr std::uint32_t kRoot = 8;

constexpr std::array<std::uint32_t, 8> kIv = {0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A,
                                              0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19};
constexpr std::array<std::uint8_t, 16> kPermutation = {2, 6,  3,  10, 7, 0,  4,  13,
                                                       1, 11, 12, 5,  9, 14, 15, 8};

void StoreU32LE(unsigned char* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

constexpr std::uint32_t RotateRight(std::uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

void Mix(std::array<std::uint32_t, 16>& s, std::size_t a, std::size_t b, std::size_t c,
         std::size_t d, std::uint32_t x, std::uint32_t y) {
    s[a] = s[a] + s[b] + x;
    s[d] = RotateRight(s[d] ^ s[a], 16);
    s[c] = s[c] + s[d];
    s[b] = RotateRight(s[b] ^ s[c], 12);
    s[a] = s[a] + s[b] + y;
    s[d] = RotateRight(s[d] ^ s[a], 8);
    s[c] = s[c] + s[d];
    s[b] = RotateRight(s[b] ^ s[c], 7);
}

// The compression function: the first 8 words of the result are the next
// chaining value (or the hash, for the root).
std::array<std::uint32_t, 8> Compress(const std::array<std::uint32_t, 8>& cv,
                                      const unsigned char* block, std::uint64_t counter,
                                      std::uint32_t length, std::uint32_t flags) {
    std::array<std::uint32_t, 16> m{};
    for (std::size_t i = 0; i < 16; ++i) {
        m[i] = LoadU32LE(block + 4 * i);
    }
    std::array<std::uint32_t, 16> s = {cv[0],
                                       cv[1],
                                       cv[2],
                                       cv[3],
                                       cv[4],
                                       cv[5],
                                       cv[6],
                                       cv[7],
                                       kIv[0],
                                       kIv[1],
                                       kIv[2],
                                       kIv[3],
                                       static_cast<std::uint32_t>(counter),
                                       static_cast<std::uint32_t>(counter >> 32),
                                       length,
                                       flags};
    for (int round = 0; round < 7; ++round) {
        Mix(s, 0, 4, 8, 12, m[0], m[1]);
        Mix(s, 1, 5, 9, 13, m[2], m[3]);
        Mix(s, 2, 6, 10, 14, m[4], m[5]);
        Mix(s, 3, 7, 11, 15, m[6], m[7]);
        Mix(s, 0, 5, 10, 15, m[8], m[9]);
        Mix(s, 1, 6, 11, 12, m[10], m[11]);
        Mix(s, 2, 7, 8, 13, m[12], m[13]);
        Mix(s, 3, 4, 9, 14, m[14], m[15]);
        std::array<std::uint32_t, 16> permuted{};
        for (std::size_t i = 0; i < 16; ++i) {
            permuted[i] = m[kPermutation[i]];
        }
        m = permuted;
    }
    std::array<std::uint32_t, 8> out{};
    for (std::size_t i = 0; i < 8; ++i) {
        out[i] = s[i] ^ s[i + 8];
    }
    return out;
}

// A parent node's 64-byte block: its two children's chaining values.
std::array<unsigned char, 64> ParentBlock(const std::array<std::uint32_t, 8>& left,
                                          const std::array<std::uint32_t, 8>& right) {
    std::array<unsigned char, 64> block{};
    for (std::size_t i = 0; i < 8; ++i) {
        StoreU32LE(block.data() + 4 * i, left[i]);
        StoreU32LE(block.data() + 32 + 4 * i, right[i]);
    }
    return block;
}

} // namespace

void Blake3Hasher::Reset() {
    cv_ = kIv;
    block_.fill(0);
    blockLength_ = 0;
    blocksDone_ = 0;
    chunk_ = 0;
    depth_ = 0;
}

void Blake3Hasher::CompressBlock(bool last) {
    const std::uint32_t flags = (blocksDone_ == 0 ? kChunkStart : 0) | (last ? kChunkEnd : 0);
    cv_ = Compress(cv_, block_.data(), chunk_, static_cast<std::uint32_t>(blockLength_), flags);
    ++blocksDone_;
    block_.fill(0);
    blockLength_ = 0;
}

void Blake3Hasher::PushChunk(const std::array<std::uint32_t, 8>& chunkCv) {
    // Each complete pair of subtrees merges into their parent: as many
    // merges as trailing zero bits of the number of chunks done.
    std::array<std::uint32_t, 8> cv = chunkCv;
    for (std::uint64_t total = chunk_ + 1; (total & 1) == 0 && depth_ > 0; total >>= 1) {
        const auto block = ParentBlock(stack_[--depth_], cv);
        cv = Compress(kIv, block.data(), 0, kBlockLength, kParent);
    }
    stack_[depth_++] = cv;
}

void Blake3Hasher::Update(std::span<const unsigned char> data) {
    while (!data.empty()) {
        // A chunk is closed only when more input follows it: the last one
        // is finished as the root's child (or the root) in Finish().
        if (blocksDone_ * kBlockLength + blockLength_ == kChunkLength) {
            CompressBlock(true);
            PushChunk(cv_);
            ++chunk_;
            cv_ = kIv;
            blocksDone_ = 0;
        }
        if (blockLength_ == kBlockLength) {
            CompressBlock(false);
        }
        const std::size_t take = std::min(kBlockLength - blockLength_, data.size());
        std::memcpy(block_.data() + blockLength_, data.data(), take);
        blockLength_ += take;
        data = data.subspan(take);
    }
}

Blake3Digest Blake3Hasher::Finish() {
    // The last chunk's final block, kept back so that it can carry the root
    // flag when the chunk is the whole input.
    std::array<std::uint32_t, 8> inputCv = cv_;
    std::array<unsigned char, 64> block = block_;
    std::uint64_t counter = chunk_;
    std::uint32_t length = static_cast<std::uint32_t>(blockLength_);
    std::uint32_t flags = (blocksDone_ == 0 ? kChunkStart : 0) | kChunkEnd;
    for (std::size_t level = depth_; level > 0; --level) {
        const auto right = Compress(inputCv, block.data(), counter, length, flags);
        block = ParentBlock(stack_[level - 1], right);
        inputCv = kIv;
        counter = 0;
        length = kBlockLength;
        flags = kParent;
    }
    const auto root = Compress(inputCv, block.data(), counter, length, flags | kRoot);
    Blake3Digest digest{};
    for (std::size_t i = 0; i < 8; ++i) {
        StoreU32LE(digest.data() + 4 * i, root[i]);
    }
    return digest;
}

Blake3Digest Blake3(std::span<const unsigned char> data) {
    Blake3Hasher hasher;
    hasher.Update(data);
    return hasher.Finish();
}

} // namespace Kestrune
