#pragma once

#include <cstdint>
#include <string>

// Package integers are little-endian and unpacked, so fields are decoded one
// byte at a time into unsigned temporaries, never by casting bytes onto
// structs: the result is the same on every host and needs no alignment.
namespace Kestrune {

inline std::uint16_t LoadU16LE(const unsigned char* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

inline std::uint32_t LoadU32LE(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

inline std::uint64_t LoadU64LE(const unsigned char* bytes) {
    return static_cast<std::uint64_t>(LoadU32LE(bytes)) |
           static_cast<std::uint64_t>(LoadU32LE(bytes + 4)) << 32;
}

inline void AppendU32LE(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<char>((value >> shift) & 0xFFu));
    }
}

inline void AppendU64LE(std::string& out, std::uint64_t value) {
    for (int shift = 0; shift < 64; shift += 8) {
        out.push_back(static_cast<char>((value >> shift) & 0xFFu));
    }
}

} // namespace Kestrune
