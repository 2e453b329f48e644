#include "Texture.h"

#include "Bounds.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <squish.h>
#ifdef KESTRUNE_HAVE_ASTCENC
#include <astcenc.h>
#include <memory>
#endif

// A Unity texture's first mip level is its pixel rows from the BOTTOM row up,
// left to right, with no padding between rows; block-compressed formats store
// rows of blocks the same way, each block covering a footprint of pixels
// whose rows run bottom-up as well, and the last row and column of blocks
// padded out to whole blocks. Every decoder here writes the image top-down.
//
// The uncompressed formats (bytes of one pixel, multi-byte values
// little-endian), and the RGBA each becomes:
//
//   Alpha8     1  a                         (255, 255, 255, a)
//   R8         1  r                         (r, r, r, 255)
//   R16        2  r:16                      (r', r', r', 255), r' = r * 255 / 65535 rounded
//   RG16       2  r, g                      (r, g, 0, 255)
//   RGB24      3  r, g, b                   (r, g, b, 255)
//   RGBA32     4  r, g, b, a                (r, g, b, a)
//   ARGB32     4  a, r, g, b                (r, g, b, a)
//   BGRA32     4  b, g, r, a                (r, g, b, a)
//   RGB565     2  r:5 g:6 b:5, high to low  each widened by repeating its top bits
//   RGBA4444   2  r:4 g:4 b:4 a:4, high to low   each nibble n as n * 17
//   ARGB4444   2  a:4 r:4 g:4 b:4, high to low   each nibble n as n * 17
//   RHalf      2  r:half                    (r', r', r', 255)
//   RGHalf     4  r:half, g:half            (r', g', 0, 255)
//   RGBAHalf   8  r, g, b, a: half          (r', g', b', a')
//   RFloat     4  r:float                   (r', r', r', 255)
//   RGFloat    8  r, g: float               (r', g', 0, 255)
//   RGBAFloat  16 r, g, b, a: float         (r', g', b', a')
//
// A half or float value v becomes v clamped to [0, 1] times 255, rounded to
// the nearest integer (NaN as 0): the texture's stored values, as an 8-bit
// PNG can hold them. One-channel formats are gray, as they display.
//
// DXT1 (BC1) is 8 bytes per 4x4 block and DXT5 (BC3) 16, decoded by
// libsquish. (libsquish 1.15 encodes BC4 and BC5 but its decoder reads every
// block as BC1 colour, so BC4/BC5 are not decoded.) ASTC is 16 bytes per block
// of its footprint, decoded by astcenc in the linear LDR profile, so that the
// PNG holds the stored values; the RGB and RGBA numbers of a footprint differ
// only in what the encoder was asked for.

namespace Kestrune {
namespace {

enum class Decoder : std::uint8_t {
    None,
    Alpha8,
    R8,
    R16,
    RG16,
    RGB24,
    RGBA32,
    ARGB32,
    BGRA32,
    RGB565,
    RGBA4444,
    ARGB4444,
    RHalf,
    RGHalf,
    RGBAHalf,
    RFloat,
    RGFloat,
    RGBAFloat,
    Dxt1,
    Dxt5,
    Astc,
};

struct TextureFormat {
    std::int32_t number;
    std::string_view name;
    // The pixels one stored unit covers and its bytes: 1x1 for formats stored
    // pixel by pixel; 0x0 when the level's layout is not known here
    // (crunched textures are variable-length, PVRTC has minimum sizes).
    std::uint8_t blockWidth;
    std::uint8_t blockHeight;
    std::uint8_t blockBytes;
    Decoder decoder;
};

// Unity's TextureFormat numbers and names (UnityEngine.TextureFormat, with
// the older numbers that UnityPy still names).
constexpr TextureFormat kFormats[] = {
    {1, "Alpha8", 1, 1, 1, Decoder::Alpha8},
    {2, "ARGB4444", 1, 1, 2, Decoder::ARGB4444},
    {3, "RGB24", 1, 1, 3, Decoder::RGB24},
    {4, "RGBA32", 1, 1, 4, Decoder::RGBA32},
    {5, "ARGB32", 1, 1, 4, Decoder::ARGB32},
    {6, "ARGBFloat", 1, 1, 16, Decoder::None},
    {7, "RGB565", 1, 1, 2, Decoder::RGB565},
    {8, "BGR24", 1, 1, 3, Decoder::None},
    {9, "R16", 1, 1, 2, Decoder::R16},
    {10, "DXT1", 4, 4, 8, Decoder::Dxt1},
    {11, "DXT3", 4, 4, 16, Decoder::None},
    {12, "DXT5", 4, 4, 16, Decoder::Dxt5},
    {13, "RGBA4444", 1, 1, 2, Decoder::RGBA4444},
    {14, "BGRA32", 1, 1, 4, Decoder::BGRA32},
    {15, "RHalf", 1, 1, 2, Decoder::RHalf},
    {16, "RGHalf", 1, 1, 4, Decoder::RGHalf},
    {17, "RGBAHalf", 1, 1, 8, Decoder::RGBAHalf},
    {18, "RFloat", 1, 1, 4, Decoder::RFloat},
    {19, "RGFloat", 1, 1, 8, Decoder::RGFloat},
    {20, "RGBAFloat", 1, 1, 16, Decoder::RGBAFloat},
    {21, "YUY2", 1, 1, 2, Decoder::None},
    {22, "RGB9e5Float", 1, 1, 4, Decoder::None},
    {23, "RGBFloat", 1, 1, 12, Decoder::None},
    {24, "BC6H", 4, 4, 16, Decoder::None},
    {25, "BC7", 4, 4, 16, Decoder::None},
    {26, "BC4", 4, 4, 8, Decoder::None},
    {27, "BC5", 4, 4, 16, Decoder::None},
    {28, "DXT1Crunched", 0, 0, 0, Decoder::None},
    {29, "DXT5Crunched", 0, 0, 0, Decoder::None},
    {30, "PVRTC_RGB2", 0, 0, 0, Decoder::None},
    {31, "PVRTC_RGBA2", 0, 0, 0, Decoder::None},
    {32, "PVRTC_RGB4", 0, 0, 0, Decoder::None},
    {33, "PVRTC_RGBA4", 0, 0, 0, Decoder::None},
    {34, "ETC_RGB4", 4, 4, 8, Decoder::None},
    {35, "ATC_RGB4", 4, 4, 8, Decoder::None},
    {36, "ATC_RGBA8", 4, 4, 16, Decoder::None},
    {41, "EAC_R", 4, 4, 8, Decoder::None},
    {42, "EAC_R_SIGNED", 4, 4, 8, Decoder::None},
    {43, "EAC_RG", 4, 4, 16, Decoder::None},
    {44, "EAC_RG_SIGNED", 4, 4, 16, Decoder::None},
    {45, "ETC2_RGB", 4, 4, 8, Decoder::None},
    {46, "ETC2_RGBA1", 4, 4, 8, Decoder::None},
    {47, "ETC2_RGBA8", 4, 4, 16, Decoder::None},
    {48, "ASTC_4x4", 4, 4, 16, Decoder::Astc},
    {49, "ASTC_5x5", 5, 5, 16, Decoder::Astc},
    {50, "ASTC_6x6", 6, 6, 16, Decoder::Astc},
    {51, "ASTC_8x8", 8, 8, 16, Decoder::Astc},
    {52, "ASTC_10x10", 10, 10, 16, Decoder::Astc},
    {53, "ASTC_12x12", 12, 12, 16, Decoder::Astc},
    {54, "ASTC_RGBA_4x4", 4, 4, 16, Decoder::Astc},
    {55, "ASTC_RGBA_5x5", 5, 5, 16, Decoder::Astc},
    {56, "ASTC_RGBA_6x6", 6, 6, 16, Decoder::Astc},
    {57, "ASTC_RGBA_8x8", 8, 8, 16, Decoder::Astc},
    {58, "ASTC_RGBA_10x10", 10, 10, 16, Decoder::Astc},
    {59, "ASTC_RGBA_12x12", 12, 12, 16, Decoder::Astc},
    {60, "ETC_RGB4_3DS", 4, 4, 8, Decoder::None},
    {61, "ETC_RGBA8_3DS", 4, 4, 16, Decoder::None},
    {62, "RG16", 1, 1, 2, Decoder::RG16},
    {63, "R8", 1, 1, 1, Decoder::R8},
    {64, "ETC_RGB4Crunched", 0, 0, 0, Decoder::None},
    {65, "ETC2_RGBA8Crunched", 0, 0, 0, Decoder::None},
    {66, "ASTC_HDR_4x4", 4, 4, 16, Decoder::None},
    {67, "ASTC_HDR_5x5", 5, 5, 16, Decoder::None},
    {68, "ASTC_HDR_6x6", 6, 6, 16, Decoder::None},
    {69, "ASTC_HDR_8x8", 8, 8, 16, Decoder::None},
    {70, "ASTC_HDR_10x10", 10, 10, 16, Decoder::None},
    {71, "ASTC_HDR_12x12", 12, 12, 16, Decoder::None},
    {72, "RG32", 1, 1, 4, Decoder::None},
    {73, "RGB48", 1, 1, 6, Decoder::None},
    {74, "RGBA64", 1, 1, 8, Decoder::None},
    {75, "R8_SIGNED", 1, 1, 1, Decoder::None},
    {76, "RG16_SIGNED", 1, 1, 2, Decoder::None},
    {77, "RGB24_SIGNED", 1, 1, 3, Decoder::None},
    {78, "RGBA32_SIGNED", 1, 1, 4, Decoder::None},
    {79, "R16_SIGNED", 1, 1, 2, Decoder::None},
    {80, "RG32_SIGNED", 1, 1, 4, Decoder::None},
    {81, "RGB48_SIGNED", 1, 1, 6, Decoder::None},
    {82, "RGBA64_SIGNED", 1, 1, 8, Decoder::None},
};

constexpr std::uint64_t kRgbaBytes = 4;

const TextureFormat* FindFormat(std::int32_t number) {
    const auto* found =
        std::find_if(std::begin(kFormats), std::end(kFormats),
                     [number](const TextureFormat& f) { return f.number == number; });
    return found == std::end(kFormats) ? nullptr : found;
}

bool Decodes(const TextureFormat& format) {
#ifndef KESTRUNE_HAVE_ASTCENC
    if (format.decoder == Decoder::Astc) {
        return false;
    }
#endif
    return format.decoder != Decoder::None;
}

std::optional<std::uint64_t> LevelSize(const TextureFormat& format, std::uint32_t width,
                                       std::uint32_t height) {
    if (format.blockWidth == 0) {
        return std::nullopt;
    }
    const std::uint64_t across = (std::uint64_t{width} + format.blockWidth - 1) / format.blockWidth;
    const std::uint64_t down =
        (std::uint64_t{height} + format.blockHeight - 1) / format.blockHeight;
    const auto blocks = CheckedProduct(across, down);
    return blocks ? CheckedProduct(*blocks, format.blockBytes) : std::nullopt;
}

std::uint16_t Load16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

// IEEE 754 binary16: a sign bit, 5 exponent bits biased by 15, 10 fraction
// bits; exponent 0 holds zero and the subnormals (fraction * 2^-24), 31 the
// infinities and NaNs.
float HalfToFloat(std::uint16_t half) {
    constexpr int kSubnormalScale = -24;
    constexpr int kNormalScale = -25; // (fraction | 2^10) * 2^(exponent - 15 - 10)
    const int exponent = (half >> 10) & 0x1f;
    const int fraction = half & 0x3ff;
    float value = 0;
    if (exponent == 0) {
        value = std::ldexp(static_cast<float>(fraction), kSubnormalScale);
    } else if (exponent == 0x1f) {
        value = fraction != 0 ? NAN : INFINITY;
    } else {
        value = std::ldexp(static_cast<float>(fraction | 0x400), exponent + kNormalScale);
    }
    return (half & 0x8000) != 0 ? -value : value;
}

float LoadFloat(const unsigned char* p) {
    const std::uint32_t bits =
        static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
        (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
    float value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

unsigned char UnitTo8(float value) {
    if (!(value > 0)) { // NaN too
        return 0;
    }
    if (value >= 1) {
        return 255;
    }
    return static_cast<unsigned char>(std::lround(value * 255.0f));
}

unsigned char Nibble(std::uint16_t word, int shift) {
    return static_cast<unsigned char>(((word >> shift) & 0xf) * 17);
}

void Set(unsigned char* out, unsigned r, unsigned g, unsigned b, unsigned a) {
    out[0] = static_cast<unsigned char>(r);
    out[1] = static_cast<unsigned char>(g);
    out[2] = static_cast<unsigned char>(b);
    out[3] = static_cast<unsigned char>(a);
}

// One pixel of an uncompressed format, from its stored bytes.
void DecodePixel(Decoder decoder, const unsigned char* in, unsigned char* out) {
    switch (decoder) {
    case Decoder::Alpha8:
        Set(out, 255, 255, 255, in[0]);
        break;
    case Decoder::R8:
        Set(out, in[0], in[0], in[0], 255);
        break;
    case Decoder::R16: {
        const unsigned gray = (Load16(in) * 255u + 32767u) / 65535u;
        Set(out, gray, gray, gray, 255);
        break;
    }
    case Decoder::RG16:
        Set(out, in[0], in[1], 0, 255);
        break;
    case Decoder::RGB24:
        Set(out, in[0], in[1], in[2], 255);
        break;
    case Decoder::RGBA32:
        std::memcpy(out, in, 4);
        break;
    case Decoder::ARGB32:
        Set(out, in[1], in[2], in[3], in[0]);
        break;
    case Decoder::BGRA32:
        Set(out, in[2], in[1], in[0], in[3]);
        break;
    case Decoder::RGB565: {
        const std::uint16_t word = Load16(in);
        const unsigned r = (word >> 11) & 0x1f;
        const unsigned g = (word >> 5) & 0x3f;
        const unsigned b = word & 0x1f;
        Set(out, (r << 3) | (r >> 2), (g << 2) | (g >> 4), (b << 3) | (b >> 2), 255);
        break;
    }
    case Decoder::RGBA4444: {
        const std::uint16_t word = Load16(in);
        Set(out, Nibble(word, 12), Nibble(word, 8), Nibble(word, 4), Nibble(word, 0));
        break;
    }
    case Decoder::ARGB4444: {
        const std::uint16_t word = Load16(in);
        Set(out, Nibble(word, 8), Nibble(word, 4), Nibble(word, 0), Nibble(word, 12));
        break;
    }
    case Decoder::RHalf: {
        const unsigned char gray = UnitTo8(HalfToFloat(Load16(in)));
        Set(out, gray, gray, gray, 255);
        break;
    }
    case Decoder::RGHalf:
        Set(out, UnitTo8(HalfToFloat(Load16(in))), UnitTo8(HalfToFloat(Load16(in + 2))), 0, 255);
        break;
    case Decoder::RGBAHalf:
        for (int c = 0; c < 4; ++c) {
            out[c] = UnitTo8(HalfToFloat(Load16(in + 2 * c)));
        }
        break;
    case Decoder::RFloat: {
        const unsigned char gray = UnitTo8(LoadFloat(in));
        Set(out, gray, gray, gray, 255);
        break;
    }
    case Decoder::RGFloat:
        Set(out, UnitTo8(LoadFloat(in)), UnitTo8(LoadFloat(in + 4)), 0, 255);
        break;
    case Decoder::RGBAFloat:
        for (int c = 0; c < 4; ++c) {
            out[c] = UnitTo8(LoadFloat(in + 4 * c));
        }
        break;
    default:
        break;
    }
}

// Each stored row r (bottom-up) becomes image row height - 1 - r.
void DecodeUncompressed(const TextureFormat& format, std::span<const unsigned char> level,
                        Image& image) {
    const std::size_t w = image.width;
    const std::size_t h = image.height;
    const std::size_t inRow = w * format.blockBytes;
    for (std::size_t r = 0; r < h; ++r) {
        const unsigned char* in = level.data() + r * inRow;
        unsigned char* out = image.rgba.data() + (h - 1 - r) * w * kRgbaBytes;
        if (format.decoder == Decoder::RGBA32) {
            std::memcpy(out, in, inRow);
            continue;
        }
        for (std::size_t x = 0; x < w; ++x) {
            DecodePixel(format.decoder, in + x * format.blockBytes, out + x * kRgbaBytes);
        }
    }
}

// libsquish decodes one 4x4 block into 16 RGBA pixels, its rows in stored
// (bottom-up) order; the pixels past the image's edge are dropped.
void DecodeDxt(const TextureFormat& format, std::span<const unsigned char> level, Image& image) {
    constexpr std::size_t kBlock = 4;
    const int flags = format.decoder == Decoder::Dxt1 ? squish::kDxt1 : squish::kDxt5;
    const std::size_t w = image.width;
    const std::size_t h = image.height;
    const std::size_t across = (w + kBlock - 1) / kBlock;
    const unsigned char* block = level.data();
    std::array<squish::u8, kBlock * kBlock * kRgbaBytes> pixels{};
    for (std::size_t y0 = 0; y0 < h; y0 += kBlock) {
        for (std::size_t bx = 0; bx < across; ++bx, block += format.blockBytes) {
            squish::Decompress(pixels.data(), block, flags);
            const std::size_t x0 = bx * kBlock;
            const std::size_t columns = std::min(kBlock, w - x0);
            for (std::size_t py = 0; py < kBlock && y0 + py < h; ++py) {
                unsigned char* out =
                    image.rgba.data() + ((h - 1 - (y0 + py)) * w + x0) * kRgbaBytes;
                std::memcpy(out, pixels.data() + py * kBlock * kRgbaBytes, columns * kRgbaBytes);
            }
        }
    }
}

#ifdef KESTRUNE_HAVE_ASTCENC
struct AstcContextFree {
    void operator()(astcenc_context* context) const { astcenc_context_free(context); }
};
using AstcContext = std::unique_ptr<astcenc_context, AstcContextFree>;

constexpr std::array<std::uint8_t, 6> kAstcFootprints = {4, 5, 6, 8, 10, 12};

// A decompress-only context for one footprint, made once per thread: making
// one builds astcenc's tables for that block size, which costs more than
// decoding a small texture.
astcenc_context* AstcContextFor(std::uint8_t footprint, std::string& why) {
    thread_local std::array<AstcContext, kAstcFootprints.size()> contexts;
    const auto* slot = std::find(kAstcFootprints.begin(), kAstcFootprints.end(), footprint);
    AstcContext& context = contexts[static_cast<std::size_t>(slot - kAstcFootprints.begin())];
    if (!context) {
        astcenc_config config{};
        astcenc_error status =
            astcenc_config_init(ASTCENC_PRF_LDR, footprint, footprint, 1, ASTCENC_PRE_FASTEST,
                                ASTCENC_FLG_DECOMPRESS_ONLY, &config);
        astcenc_context* made = nullptr;
        if (status == ASTCENC_SUCCESS) {
            status = astcenc_context_alloc(&config, 1, &made);
        }
        if (status != ASTCENC_SUCCESS) {
            why = std::string("astcenc: ") + astcenc_get_error_string(status);
            return nullptr;
        }
        context.reset(made);
    }
    return context.get();
}

// astcenc writes the rows in stored order; they are then swapped end for end.
bool DecodeAstc(const TextureFormat& format, std::span<const unsigned char> level, Image& image,
                std::string& why) {
    astcenc_context* context = AstcContextFor(format.blockWidth, why);
    if (context == nullptr) {
        return false;
    }
    void* slice = image.rgba.data();
    astcenc_image out{image.width, image.height, 1, ASTCENC_TYPE_U8, &slice};
    const astcenc_swizzle identity{ASTCENC_SWZ_R, ASTCENC_SWZ_G, ASTCENC_SWZ_B, ASTCENC_SWZ_A};
    const astcenc_error status =
        astcenc_decompress_image(context, level.data(), level.size(), &out, &identity, 0);
    if (status != ASTCENC_SUCCESS) {
        why = std::string("astcenc: ") + astcenc_get_error_string(status);
        return false;
    }
    const std::size_t row = std::size_t{image.width} * kRgbaBytes;
    for (std::size_t top = 0, bottom = image.height - 1; top < bottom; ++top, --bottom) {
        std::swap_ranges(image.rgba.begin() + static_cast<std::ptrdiff_t>(top * row),
                         image.rgba.begin() + static_cast<std::ptrdiff_t>((top + 1) * row),
                         image.rgba.begin() + static_cast<std::ptrdiff_t>(bottom * row));
    }
    return true;
}
#endif

// A rectangle's coordinate as written: shortest form, no locale.
std::string Coordinate(double value) {
    std::array<char, 32> text{};
    const auto result = std::to_chars(text.data(), text.data() + text.size(), value);
    return std::string(text.data(), result.ptr);
}

std::string Described(const TextureFormat& format) {
    return std::string(format.name) + " (texture format " + std::to_string(format.number) + ")";
}

} // namespace

std::string_view TextureFormatName(std::int32_t format) {
    const TextureFormat* found = FindFormat(format);
    return found != nullptr ? found->name : std::string_view{};
}

bool DecodesTextureFormat(std::int32_t format) {
    const TextureFormat* found = FindFormat(format);
    return found != nullptr && Decodes(*found);
}

std::optional<std::uint64_t> TextureLevelSize(std::int32_t format, std::uint32_t width,
                                              std::uint32_t height) {
    const TextureFormat* found = FindFormat(format);
    return found != nullptr ? LevelSize(*found, width, height) : std::nullopt;
}

std::optional<Image> DecodeTexture(std::int32_t format, std::uint32_t width, std::uint32_t height,
                                   std::span<const unsigned char> data, std::string& why) {
    const TextureFormat* found = FindFormat(format);
    if (found == nullptr) {
        why = "unknown texture format " + std::to_string(format);
        return std::nullopt;
    }
    if (!Decodes(*found)) {
        why = Described(*found) + " has no decoder in this build";
        return std::nullopt;
    }
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    if (width == 0 || height == 0) {
        why = "has no pixels (" + size + ")";
        return std::nullopt;
    }
    const auto imageBytes = CheckedProduct(std::uint64_t{width} * height, kRgbaBytes);
    if (!imageBytes || *imageBytes > kMaxImageBytes) {
        why = size + " pixels are more than the " + std::to_string(kMaxImageBytes) +
              " bytes of RGBA a texture may decode to";
        return std::nullopt;
    }
    const auto levelBytes = LevelSize(*found, width, height);
    if (!levelBytes || !FitsWithin(0, *levelBytes, data.size())) {
        why = "needs " + (levelBytes ? std::to_string(*levelBytes) : std::string("more")) +
              " bytes of pixel data, has " + std::to_string(data.size());
        return std::nullopt;
    }
    const auto level = data.first(static_cast<std::size_t>(*levelBytes));

    Image image;
    image.width = width;
    image.height = height;
    image.rgba.resize(static_cast<std::size_t>(*imageBytes));
    switch (found->decoder) {
    case Decoder::Dxt1:
    case Decoder::Dxt5:
        DecodeDxt(*found, level, image);
        break;
    case Decoder::Astc:
#ifdef KESTRUNE_HAVE_ASTCENC
        if (!DecodeAstc(*found, level, image, why)) {
            return std::nullopt;
        }
#endif
        break;
    default:
        DecodeUncompressed(*found, level, image);
        break;
    }
    return image;
}

std::optional<Image> CropBottomUp(const Image& image, double x, double y, double w, double h,
                                  std::string& why) {
    if (image.rgba.size() != std::uint64_t{image.width} * image.height * kRgbaBytes) {
        why = "the image holds " + std::to_string(image.rgba.size()) + " bytes, not " +
              std::to_string(image.width) + "x" + std::to_string(image.height) + " pixels";
        return std::nullopt;
    }
    const double left = std::round(x);
    const double right = std::round(x + w);
    const double bottom = std::round(y);
    const double top = std::round(y + h);
    // Written so that NaN fails each comparison and is refused.
    if (!(left >= 0 && left < right && right <= image.width && bottom >= 0 && bottom < top &&
          top <= image.height)) {
        why = "the rectangle at (" + Coordinate(x) + ", " + Coordinate(y) + ") of " +
              Coordinate(w) + "x" + Coordinate(h) + " does not lie inside the " +
              std::to_string(image.width) + "x" + std::to_string(image.height) + " texture";
        return std::nullopt;
    }
    const auto column = static_cast<std::size_t>(left);
    const auto columns = static_cast<std::size_t>(right) - column;
    // Bottom-up rows [bottom, top) are top-down rows [height - top, height - bottom).
    const std::size_t firstRow = image.height - static_cast<std::size_t>(top);
    const std::size_t rows = static_cast<std::size_t>(top) - static_cast<std::size_t>(bottom);

    Image out;
    out.width = static_cast<std::uint32_t>(columns);
    out.height = static_cast<std::uint32_t>(rows);
    out.rgba.resize(columns * rows * kRgbaBytes);
    for (std::size_t r = 0; r < rows; ++r) {
        const unsigned char* in =
            image.rgba.data() + ((firstRow + r) * image.width + column) * kRgbaBytes;
        std::memcpy(out.rgba.data() + r * columns * kRgbaBytes, in, columns * kRgbaBytes);
    }
    return out;
}

} // namespace Kestrune
