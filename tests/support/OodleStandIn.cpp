// A stand-in for the vendor's Oodle library, built only for the tests: it
// exports OodleLZ_Decompress with the vendor's signature, and "decodes" a
// block that starts with 'K' by flipping the bits of the bytes after it (the
// block "Z": zeros); OodleLZ_Compress writes those forms.
// Anything else, or a result that would not fit, fails as Oodle fails: 0.

#include <cstdint>

#if defined(_WIN32)
#define KESTRUNE_EXPORT extern "C" __declspec(dllexport)
#else
#define KESTRUNE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

KESTRUNE_EXPORT std::intptr_t OodleLZ_Decompress(const void* comp, std::intptr_t compLen, void* raw,
                                                 std::intptr_t rawLen, int, int, int, void*,
                                                 std::intptr_t, void*, void*, void*, std::intptr_t,
                                                 int) {
    const auto* in = static_cast<const unsigned char*>(comp);
    auto* out = static_cast<unsigned char*>(raw);
    if (compLen == 1 && in[0] == 'Z') { // a block of zeros, as the encoder below writes it
        for (std::intptr_t i = 0; i < rawLen; ++i) {
            out[i] = 0;
        }
        return rawLen;
    }
    if (compLen < 1 || in[0] != 'K' || compLen - 1 > rawLen) {
        return 0;
    }
    for (std::intptr_t i = 1; i < compLen; ++i) {
        out[i - 1] = static_cast<unsigned char>(~in[i]);
    }
    return compLen - 1;
}

// The encoder's side, for the packer's tests: a block of zeros becomes the
// single byte 'Z', anything else 'K' and its bytes flipped.
KESTRUNE_EXPORT std::intptr_t OodleLZ_Compress(int, const void* raw, std::intptr_t rawLen,
                                               void* comp, int, const void*, const void*,
                                               const void*, void*, std::intptr_t) {
    const auto* in = static_cast<const unsigned char*>(raw);
    auto* out = static_cast<unsigned char*>(comp);
    bool zeros = rawLen > 0;
    for (std::intptr_t i = 0; i < rawLen && zeros; ++i) {
        zeros = in[i] == 0;
    }
    if (zeros) {
        out[0] = 'Z';
        return 1;
    }
    out[0] = 'K';
    for (std::intptr_t i = 0; i < rawLen; ++i) {
        out[i + 1] = static_cast<unsigned char>(~in[i]);
    }
    return rawLen + 1;
}
