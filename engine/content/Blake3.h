#pragma once

// BLAKE3 (unkeyed hash mode), as IoStore containers keep the first 20 bytes
// of it for every chunk: the official C implementation, which picks its
// SSE2, SSE4.1, AVX2 or AVX-512 code on the CPU at hand. A large chunk is
// hashed on the thread that delivers its blocks in order, so the hash must
// keep pace with decoding on the other cores.

#include <array>
#include <memory>
#include <span>

namespace Kestrune {

using Blake3Digest = std::array<unsigned char, 32>;

// BLAKE3 over data that arrives in pieces of any size.
class Blake3Hasher {
public:
    Blake3Hasher();
    ~Blake3Hasher();
    Blake3Hasher(Blake3Hasher&&) noexcept;
    Blake3Hasher& operator=(Blake3Hasher&&) noexcept;

    void Reset();
    void Update(std::span<const unsigned char> data);
    // The 32-byte default-length output; the hasher must be Reset() before reuse.
    Blake3Digest Finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

Blake3Digest Blake3(std::span<const unsigned char> data);

} // namespace Kestrune
