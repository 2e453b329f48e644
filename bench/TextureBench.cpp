// Exporting textures: 1,000 RGBA32 textures of 256x256 through the texture
// layer (DecodeTexture, then EncodePng) against libpng alone writing the
// same pixels, already top-down, with the same settings (8-bit RGBA, zlib's
// default level, libpng's default filters, into memory). Prints the best of
// a few rounds of each and their ratio (bench/run.sh, case "textures").

#include "Png.h"
#include "Texture.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <png.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;

constexpr std::uint32_t kSide = 256;
constexpr std::size_t kTextures = 1000;
constexpr int kRounds = 3;
constexpr std::int32_t kRgba32 = 4;

// A texture that compresses as game art does, somewhat: gradients, a little
// noise, alpha that varies (so both sides write RGBA).
Bytes Texture(unsigned seed) {
    Bytes rgba(std::size_t{kSide} * kSide * 4);
    unsigned state = seed * 2654435761u + 1;
    for (std::size_t y = 0; y < kSide; ++y) {
        for (std::size_t x = 0; x < kSide; ++x) {
            state = state * 1103515245u + 12345u;
            unsigned char* p = rgba.data() + (y * kSide + x) * 4;
            const unsigned noise = (state >> 16) & 7;
            p[0] = static_cast<unsigned char>(x + seed + noise);
            p[1] = static_cast<unsigned char>(y + noise);
            p[2] = static_cast<unsigned char>((x ^ y) + seed);
            p[3] = static_cast<unsigned char>(255 - ((x + y) >> 3));
        }
    }
    return rgba;
}

void Append(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void Flush(png_structp) {}

// libpng alone: the rows are already top-down in memory.
std::size_t LibpngAlone(const Bytes& rgba) {
    Bytes out;
    out.reserve(rgba.size() / 4 + 1024);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return 0;
    }
    png_set_write_fn(png, &out, Append, Flush);
    png_set_IHDR(png, info, kSide, kSide, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (std::size_t y = 0; y < kSide; ++y) {
        png_write_row(png, rgba.data() + y * kSide * 4);
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out.size();
}

} // namespace

int main() {
    std::vector<Bytes> stored;  // as Unity keeps them, bottom-up
    std::vector<Bytes> topDown; // what libpng alone is given
    for (std::size_t i = 0; i < kTextures; ++i) {
        stored.push_back(Texture(static_cast<unsigned>(i)));
        Bytes flipped(stored.back().size());
        const std::size_t row = std::size_t{kSide} * 4;
        for (std::size_t y = 0; y < kSide; ++y) {
            std::memcpy(flipped.data() + (kSide - 1 - y) * row, stored.back().data() + y * row,
                        row);
        }
        topDown.push_back(std::move(flipped));
    }

    double engineBest = 1e30, floorBest = 1e30;
    std::size_t engineBytes = 0, floorBytes = 0;
    for (int round = 0; round < kRounds; ++round) {
        auto begin = Clock::now();
        engineBytes = 0;
        for (const Bytes& texture : stored) {
            std::string why;
            const auto image = Kestrune::DecodeTexture(kRgba32, kSide, kSide, texture, why);
            const auto png = image ? Kestrune::EncodePng(*image, why) : std::nullopt;
            if (!png) {
                std::fprintf(stderr, "a texture did not export: %s\n", why.c_str());
                return 1;
            }
            engineBytes += png->size();
        }
        engineBest =
            std::min(engineBest, std::chrono::duration<double>(Clock::now() - begin).count());

        begin = Clock::now();
        floorBytes = 0;
        for (const Bytes& texture : topDown) {
            floorBytes += LibpngAlone(texture);
        }
        floorBest =
            std::min(floorBest, std::chrono::duration<double>(Clock::now() - begin).count());
    }
    std::printf(
        "%zu RGBA32 textures of %ux%u to PNG, best of %d: texture layer %.3f s (%zu bytes), "
        "libpng alone %.3f s (%zu bytes), ratio %.2f\n",
        kTextures, kSide, kSide, kRounds, engineBest, engineBytes, floorBest, floorBytes,
        engineBest / floorBest);
    return engineBytes == floorBytes ? 0 : 1;
}
