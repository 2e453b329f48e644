// The texture layer: each decoded format from a few stored pixels or blocks
// made here (the block formats by their own library's encoder, and by hand
// where the colours must be known), PNG files read back with libpng, and the
// refusals of hostile sizes.

#include "Texture.h"

#include "Png.h"
#include "support/AllocationProbe.h"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <png.h>
#include <squish.h>
#ifdef KESTRUNE_HAVE_ASTCENC
#include <astcenc.h>
#endif

namespace Kestrune {
namespace {

using Bytes = std::vector<unsigned char>;
using Pixel = std::array<unsigned char, 4>;

// `stored` is bottom-up, as Unity keeps it: the image's top row is its last.
Bytes Flipped(const Bytes& stored, std::size_t width, std::size_t height) {
    Bytes out(stored.size());
    const std::size_t row = width * 4;
    for (std::size_t y = 0; y < height; ++y) {
        std::memcpy(out.data() + (height - 1 - y) * row, stored.data() + y * row, row);
    }
    return out;
}

Bytes Pixels(const std::vector<Pixel>& pixels) {
    Bytes out;
    for (const Pixel& p : pixels) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// Each 2x2 texture's four stored pixels (bottom row first) and the RGBA each
// must become.
TEST(Texture, UncompressedFormatsDecodeAndFlip) {
    struct Case {
        std::int32_t format;
        Bytes stored;
        std::vector<Pixel> expected;
    };
    const Pixel red{255, 0, 0, 255}, green{0, 255, 0, 255}, blue{0, 0, 255, 255};
    const std::vector<Case> cases = {
        {1,
         {0, 7, 128, 255},
         {{255, 255, 255, 0}, {255, 255, 255, 7}, {255, 255, 255, 128}, {255, 255, 255, 255}}},
        {63, {1, 2, 3, 4}, {{1, 1, 1, 255}, {2, 2, 2, 255}, {3, 3, 3, 255}, {4, 4, 4, 255}}},
        {9,
         {0, 0, 0xff, 0xff, 0x01, 0x01, 0xff, 0x7f},
         {{0, 0, 0, 255}, {255, 255, 255, 255}, {1, 1, 1, 255}, {127, 127, 127, 255}}},
        {62,
         {1, 2, 3, 4, 5, 6, 7, 8},
         {{1, 2, 0, 255}, {3, 4, 0, 255}, {5, 6, 0, 255}, {7, 8, 0, 255}}},
        {3, {255, 0, 0, 0, 255, 0, 0, 0, 255, 1, 2, 3}, {red, green, blue, {1, 2, 3, 255}}},
        {4,
         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16},
         {{1, 2, 3, 4}, {5, 6, 7, 8}, {9, 10, 11, 12}, {13, 14, 15, 16}}},
        {5,
         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16},
         {{2, 3, 4, 1}, {6, 7, 8, 5}, {10, 11, 12, 9}, {14, 15, 16, 13}}},
        {14,
         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16},
         {{3, 2, 1, 4}, {7, 6, 5, 8}, {11, 10, 9, 12}, {15, 14, 13, 16}}},
        {7,
         {0x00, 0xf8, 0xe0, 0x07, 0x1f, 0x00, 0x10, 0x84},
         {red, green, blue, {132, 130, 132, 255}}},
        {13,
         {0x34, 0x12, 0x0f, 0xf0, 0x00, 0x0f, 0xf0, 0x00},
         {{17, 34, 51, 68}, {255, 0, 0, 255}, {0, 255, 0, 0}, {0, 0, 255, 0}}},
        {2,
         {0x34, 0x12, 0x0f, 0xf0, 0x00, 0x0f, 0xf0, 0x00},
         {{34, 51, 68, 17}, {0, 0, 255, 255}, {255, 0, 0, 0}, {0, 255, 0, 0}}},
        // Halves: 1.0, 0.5, 0.25 and -1.0; then infinity, NaN, a subnormal, 2.0.
        {15,
         {0x00, 0x3c, 0x00, 0x38, 0x00, 0x34, 0x00, 0xbc},
         {{255, 255, 255, 255}, {128, 128, 128, 255}, {64, 64, 64, 255}, {0, 0, 0, 255}}},
        {16,
         {0x00, 0x7c, 0x00, 0x7e, 0x01, 0x00, 0x00, 0x40, 0, 0, 0, 0x3c, 0, 0x38, 0, 0},
         {{255, 0, 0, 255}, {0, 255, 0, 255}, {0, 255, 0, 255}, {128, 0, 0, 255}}},
        {17,
         {0, 0x3c, 0, 0, 0, 0x38, 0, 0x3c, 0, 0,    0, 0,    0, 0,    0, 0,
          0, 0,    0, 0, 0, 0,    0, 0,    0, 0x34, 0, 0x3c, 0, 0x3c, 0, 0x3c},
         {{255, 0, 128, 255}, {0, 0, 0, 0}, {0, 0, 0, 0}, {64, 255, 255, 255}}},
        // 1.0, 0.5, 2.0, -0.5 as floats.
        {18,
         {0, 0, 0x80, 0x3f, 0, 0, 0, 0x3f, 0, 0, 0, 0x40, 0, 0, 0, 0xbf},
         {{255, 255, 255, 255}, {128, 128, 128, 255}, {255, 255, 255, 255}, {0, 0, 0, 255}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(TextureFormatName(c.format));
        EXPECT_TRUE(DecodesTextureFormat(c.format));
        EXPECT_EQ(TextureLevelSize(c.format, 2, 2), c.stored.size());
        std::string why;
        const auto image = DecodeTexture(c.format, 2, 2, c.stored, why);
        ASSERT_TRUE(image) << why;
        EXPECT_EQ(image->rgba, Flipped(Pixels(c.expected), 2, 2));
    }
}

// A test picture whose rows and columns all differ, alpha included.
Bytes Picture(std::size_t width, std::size_t height) {
    Bytes rgba(width * height * 4);
    for (std::size_t i = 0; i < rgba.size(); ++i) {
        rgba[i] = static_cast<unsigned char>(i * 37 + i / 13);
    }
    return rgba;
}

TEST(Texture, DxtBlocksDecodeAsLibsquishDoes) {
    // A hand-made DXT1 block: red and blue, the second stored row blue (an
    // index of 1), the others red. Top-down, that blue row is the third.
    const Bytes block = {0x00, 0xf8, 0x1f, 0x00, 0x00, 0x55, 0x00, 0x00};
    const Pixel red{255, 0, 0, 255}, blue{0, 0, 255, 255};
    std::string why;
    const auto image = DecodeTexture(10, 4, 4, block, why);
    ASSERT_TRUE(image) << why;
    std::vector<Pixel> expected(16, red);
    std::fill(expected.begin() + 8, expected.begin() + 12, blue);
    EXPECT_EQ(image->rgba, Pixels(expected));

    // A size that leaves part blocks, through libsquish's own encoder.
    for (const auto& [format, flags] :
         {std::pair{10, squish::kDxt1}, std::pair{12, squish::kDxt5}}) {
        constexpr int kWidth = 6, kHeight = 5;
        Bytes blocks(
            static_cast<std::size_t>(squish::GetStorageRequirements(kWidth, kHeight, flags)));
        squish::CompressImage(Picture(kWidth, kHeight).data(), kWidth, kHeight, blocks.data(),
                              flags);
        Bytes reference(kWidth * kHeight * 4);
        squish::DecompressImage(reference.data(), kWidth, kHeight, blocks.data(), flags);
        EXPECT_EQ(TextureLevelSize(format, kWidth, kHeight), blocks.size());
        const auto decoded = DecodeTexture(format, kWidth, kHeight, blocks, why);
        ASSERT_TRUE(decoded) << why;
        EXPECT_EQ(decoded->rgba, Flipped(reference, kWidth, kHeight));
    }
}

#ifdef KESTRUNE_HAVE_ASTCENC
// Every ASTC number: a 13x11 picture encoded by astcenc, decoded by the
// texture layer and by astcenc directly; and two hand-made constant-colour
// blocks, stored red then blue, decoding blue on top.
TEST(Texture, AstcBlocksDecodeAsAstcencDoes) {
    constexpr unsigned kWidth = 13, kHeight = 11;
    const astcenc_swizzle identity{ASTCENC_SWZ_R, ASTCENC_SWZ_G, ASTCENC_SWZ_B, ASTCENC_SWZ_A};
    for (std::int32_t format = 48; format <= 59; ++format) {
        SCOPED_TRACE(TextureFormatName(format));
        const unsigned footprint = std::array{4u, 5u, 6u, 8u, 10u, 12u}[(format - 48) % 6];
        astcenc_config config{};
        ASSERT_EQ(astcenc_config_init(ASTCENC_PRF_LDR, footprint, footprint, 1, ASTCENC_PRE_FASTEST,
                                      0, &config),
                  ASTCENC_SUCCESS);
        astcenc_context* context = nullptr;
        ASSERT_EQ(astcenc_context_alloc(&config, 1, &context), ASTCENC_SUCCESS);
        Bytes picture = Picture(kWidth, kHeight), reference(picture.size());
        void* slice = picture.data();
        astcenc_image in{kWidth, kHeight, 1, ASTCENC_TYPE_U8, &slice};
        Bytes blocks(*TextureLevelSize(format, kWidth, kHeight));
        EXPECT_EQ(astcenc_compress_image(context, &in, &identity, blocks.data(), blocks.size(), 0),
                  ASTCENC_SUCCESS);
        slice = reference.data();
        EXPECT_EQ(
            astcenc_decompress_image(context, blocks.data(), blocks.size(), &in, &identity, 0),
            ASTCENC_SUCCESS);
        astcenc_context_free(context);
        std::string why;
        const auto decoded = DecodeTexture(format, kWidth, kHeight, blocks, why);
        ASSERT_TRUE(decoded) << why;
        EXPECT_EQ(decoded->rgba, Flipped(reference, kWidth, kHeight));
    }
    // A void-extent block of 16-bit channels: R, G, B, A as given.
    const auto constant = [](std::uint16_t r, std::uint16_t g, std::uint16_t b) {
        Bytes block = {0xfc, 0xfd, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
        for (const std::uint16_t v : {r, g, b, std::uint16_t{0xffff}}) {
            block.push_back(static_cast<unsigned char>(v));
            block.push_back(static_cast<unsigned char>(v >> 8));
        }
        return block;
    };
    Bytes blocks = constant(0xffff, 0, 0);
    const Bytes blue = constant(0, 0, 0xffff);
    blocks.insert(blocks.end(), blue.begin(), blue.end());
    std::string why;
    const auto decoded = DecodeTexture(48, 4, 8, blocks, why);
    ASSERT_TRUE(decoded) << why;
    std::vector<Pixel> expected(32, Pixel{0, 0, 255, 255});
    std::fill(expected.begin() + 16, expected.end(), Pixel{255, 0, 0, 255});
    EXPECT_EQ(decoded->rgba, Pixels(expected));
}
#else
TEST(Texture, AstcHasNoDecoderInThisBuild) {
    std::string why;
    EXPECT_FALSE(DecodesTextureFormat(50));
    EXPECT_FALSE(DecodeTexture(50, 6, 6, Bytes(16), why));
    EXPECT_EQ(why, "ASTC_6x6 (texture format 50) has no decoder in this build");
}
#endif

TEST(Texture, NamesAndLevelSizes) {
    EXPECT_EQ(TextureFormatName(4), "RGBA32");
    EXPECT_EQ(TextureFormatName(47), "ETC2_RGBA8");
    EXPECT_EQ(TextureFormatName(50), "ASTC_6x6");
    EXPECT_EQ(TextureFormatName(59), "ASTC_RGBA_12x12");
    EXPECT_EQ(TextureFormatName(0), "");
    EXPECT_EQ(TextureFormatName(99), "");
    EXPECT_EQ(TextureLevelSize(4, 256, 256), 262144u);
    EXPECT_EQ(TextureLevelSize(10, 5, 5), 32u);
    EXPECT_EQ(TextureLevelSize(50, 13, 13), 144u);
    EXPECT_EQ(TextureLevelSize(28, 256, 256), std::nullopt); // crunched
    EXPECT_EQ(TextureLevelSize(99, 4, 4), std::nullopt);
    EXPECT_EQ(TextureLevelSize(20, UINT32_MAX, UINT32_MAX), std::nullopt); // 2^68 bytes
}

TEST(Texture, RefusesBeforeAllocating) {
    struct Case {
        std::int32_t format;
        std::uint32_t width, height;
        std::size_t dataSize;
        std::string why;
    };
    const std::vector<Case> cases = {
        {4, 65536, 65536, 100,
         "65536x65536 pixels are more than the 268435456 bytes of RGBA a texture may decode to"},
        {10, UINT32_MAX, UINT32_MAX, 100,
         "4294967295x4294967295 pixels are more than the 268435456 bytes of RGBA a texture may "
         "decode to"},
        {4, 256, 256, 100, "needs 262144 bytes of pixel data, has 100"},
        {12, 5, 5, 63, "needs 64 bytes of pixel data, has 63"},
        {4, 0, 4, 64, "has no pixels (0x4)"},
        {99, 4, 4, 64, "unknown texture format 99"},
        {47, 4, 4, 64, "ETC2_RGBA8 (texture format 47) has no decoder in this build"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        const Bytes data(c.dataSize);
        Testing::AllocationProbe probe;
        std::string why;
        EXPECT_FALSE(DecodeTexture(c.format, c.width, c.height, data, why));
        EXPECT_EQ(why, c.why);
        EXPECT_LT(probe.largest(), 4096u);
    }
}

// The PNG read back by libpng holds the same pixels; an opaque image is
// written as RGB (IHDR's colour type, byte 25, is 2), one with alpha as RGBA.
TEST(Texture, PngHoldsThePixels) {
    Image opaque{3, 2,
                 Pixels({{1, 2, 3, 255},
                         {4, 5, 6, 255},
                         {7, 8, 9, 255},
                         {10, 11, 12, 255},
                         {13, 14, 15, 255},
                         {16, 17, 18, 255}})};
    Image translucent = opaque;
    translucent.rgba[7] = 0;
    for (const auto& [image, colourType] : {std::pair{opaque, 2}, std::pair{translucent, 6}}) {
        std::string why;
        const auto png = EncodePng(image, why);
        ASSERT_TRUE(png) << why;
        ASSERT_GT(png->size(), 25u);
        EXPECT_EQ((*png)[25], colourType);
        png_image read{};
        read.version = PNG_IMAGE_VERSION;
        ASSERT_TRUE(png_image_begin_read_from_memory(&read, png->data(), png->size()));
        read.format = PNG_FORMAT_RGBA;
        Bytes pixels(PNG_IMAGE_SIZE(read));
        ASSERT_TRUE(png_image_finish_read(&read, nullptr, pixels.data(), 0, nullptr));
        EXPECT_EQ(read.width, image.width);
        EXPECT_EQ(read.height, image.height);
        EXPECT_EQ(pixels, image.rgba);
    }
    std::string why;
    EXPECT_FALSE(EncodePng(Image{2, 2, Bytes(15)}, why));
    EXPECT_EQ(why, "the image holds 15 bytes, not 2x2 pixels");
}

// A 4x3 image whose pixel (x, row) is {x, row}; rectangles from the bottom.
TEST(Texture, CropCountsRowsFromTheBottom) {
    Image image{4, 3, {}};
    for (unsigned char row = 0; row < 3; ++row) {
        for (unsigned char x = 0; x < 4; ++x) {
            image.rgba.insert(image.rgba.end(), {x, row, 0, 255});
        }
    }
    std::string why;
    const auto bottom = CropBottomUp(image, 1, 0, 2, 1, why);
    ASSERT_TRUE(bottom) << why;
    EXPECT_EQ(bottom->rgba, Pixels({{1, 2, 0, 255}, {2, 2, 0, 255}}));
    const auto top = CropBottomUp(image, 2.9, 1.6, 1.1, 1.4, why); // edges round to 3..4, 2..3
    ASSERT_TRUE(top) << why;
    EXPECT_EQ(top->rgba, Pixels({{3, 0, 0, 255}}));
    for (const auto& [x, y, w, h] : std::vector<std::array<double, 4>>{
             {3, 0, 2, 1}, {0, 0, 0, 1}, {0, -1, 1, 1}, {0, 0, 1, NAN}}) {
        EXPECT_FALSE(CropBottomUp(image, x, y, w, h, why));
    }
    EXPECT_EQ(why, "the rectangle at (0, 0) of 1xnan does not lie inside the 4x3 texture");
}

} // namespace
} // namespace Kestrune
