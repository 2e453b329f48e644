#pragma once

// The pixels of a Unity texture: which TextureFormat numbers exist, how many
// bytes a texture's first mip level takes, and decoding that level into RGBA8
// through the format's own library (libsquish for DXT1/DXT5, astcenc for
// ASTC; the uncompressed formats are plain channel shuffles). No other file
// includes a texture decoder's header.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Kestrune {

/// Decoded pixels, rows top to bottom, 8 bits per channel, RGBA.
struct Image {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<unsigned char> rgba; // width * height * 4
};

/// The largest image a texture may decode to (its pixels as RGBA8); larger
/// ones are refused before any allocation.
inline constexpr std::uint64_t kMaxImageBytes = 256ull << 20;

/// Unity's name for a TextureFormat number ("RGBA32", "DXT5", "ETC2_RGBA8",
/// "ASTC_6x6", ...); empty for numbers it does not know.
std::string_view TextureFormatName(std::int32_t format);

/// Whether this build decodes `format`.
bool DecodesTextureFormat(std::int32_t format);

/// Bytes the first (largest) mip level of a `width` x `height` texture of
/// `format` occupies; nullopt when the format's layout is unknown (crunched
/// and PVRTC textures) or the size overflows 64 bits.
std::optional<std::uint64_t> TextureLevelSize(std::int32_t format, std::uint32_t width,
                                              std::uint32_t height);

/// Decodes the first mip level at the start of `data`. Unity stores rows
/// bottom-up; the Image is top-down (rows flipped). Nullopt with `why` (words
/// for the user, e.g. "needs 262144 bytes of pixel data, has 100") for: an
/// unknown or undecoded format, zero or oversized dimensions (more than
/// kMaxImageBytes as RGBA8: refused before allocating), data shorter than the
/// level.
std::optional<Image> DecodeTexture(std::int32_t format, std::uint32_t width, std::uint32_t height,
                                   std::span<const unsigned char> data, std::string& why);

/// The rectangle [x, x+w) x [y, y+h) of `image`, y counted from the BOTTOM as
/// Unity's sprite rectangles are; its edges are rounded to the nearest pixel
/// boundary. Nullopt with `why` when it is empty or does not lie inside.
std::optional<Image> CropBottomUp(const Image& image, double x, double y, double w, double h,
                                  std::string& why);

} // namespace Kestrune
