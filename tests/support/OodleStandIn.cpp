// A stand-in for the vendor's Oodle library, built only for the tests: it
// exports OodleLZ_Decompress with the vendor's signature, and "decodes" a
// block that starts with 'K' by flipping the bits of the bytes after it.
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
    if (compLen < 1 || in[0] != 'K' || compLen - 1 > rawLen) {
        return 0;
    }
    for (std::intptr_t i = 1; i < compLen; ++i) {
        out[i - 1] = static_cast<unsigned char>(~in[i]);
    }
    return compLen - 1;
}
