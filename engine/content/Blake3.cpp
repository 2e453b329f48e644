#include "Blake3.h"

#include <blake3.h>

namespace Kestrune {

struct Blake3Hasher::State {
    blake3_hasher hasher;
};

Blake3Hasher::Blake3Hasher() : state_(std::make_unique<State>()) {
    Reset();
}

Blake3Hasher::~Blake3Hasher() = default;
Blake3Hasher::Blake3Hasher(Blake3Hasher&&) noexcept = default;
Blake3Hasher& Blake3Hasher::operator=(Blake3Hasher&&) noexcept = default;

void Blake3Hasher::Reset() {
    blake3_hasher_init(&state_->hasher);
}

void Blake3Hasher::Update(std::span<const unsigned char> data) {
    blake3_hasher_update(&state_->hasher, data.data(), data.size());
}

Blake3Digest Blake3Hasher::Finish() {
    Blake3Digest digest{};
    blake3_hasher_finalize(&state_->hasher, digest.data(), digest.size());
    return digest;
}

Blake3Digest Blake3(std::span<const unsigned char> data) {
    Blake3Hasher hasher;
    hasher.Update(data);
    return hasher.Finish();
}

} // namespace Kestrune
