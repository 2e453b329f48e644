#include "Png.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <png.h>

namespace Kestrune {
namespace {

constexpr std::size_t kRgbaBytes = 4;
constexpr unsigned char kOpaque = 255;
// The largest width and height PNG allows (2^31 - 1); libpng's own default
// limit of a million pixels a side is for the images it reads.
constexpr png_uint_32 kPngDimensionLimit = PNG_UINT_31_MAX;

// What libpng's callbacks share with the encoder. libpng reports an error by
// calling ErrorCallback, which must not return: it jumps back to the setjmp in
// WriteImage, so nothing libpng calls may throw or own anything to destroy.
struct PngWrite {
    std::vector<unsigned char> out;
    char message[256] = {};
};

[[noreturn]] void ErrorCallback(png_structp png, png_const_charp message) {
    auto* state = static_cast<PngWrite*>(png_get_error_ptr(png));
    std::strncpy(state->message, message, sizeof state->message - 1);
    png_longjmp(png, 1);
}

void WarningCallback(png_structp, png_const_charp) {}

void WriteCallback(png_structp png, png_bytep data, png_size_t length) {
    auto* state = static_cast<PngWrite*>(png_get_io_ptr(png));
    bool grown = true;
    try {
        state->out.insert(state->out.end(), data, data + length);
    } catch (const std::bad_alloc&) {
        grown = false;
    }
    if (!grown) {
        png_error(png, "out of memory");
    }
}

void FlushCallback(png_structp) {}

// Every libpng call that can fail, under one setjmp. Its frame holds no
// object with a destructor, since the error path jumps over them.
bool WriteImage(png_structp png, png_infop info, const Image& image, bool opaque) {
    if (setjmp(png_jmpbuf(png))) {
        return false;
    }
    png_set_user_limits(png, kPngDimensionLimit, kPngDimensionLimit);
    png_set_IHDR(png, info, image.width, image.height, 8,
                 opaque ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    if (opaque) {
        // The rows stay RGBA in memory; libpng drops the fourth byte.
        png_set_filler(png, 0, PNG_FILLER_AFTER);
    }
    const std::size_t row = std::size_t{image.width} * kRgbaBytes;
    for (std::size_t y = 0; y < image.height; ++y) {
        png_write_row(png, image.rgba.data() + y * row);
    }
    png_write_end(png, nullptr);
    return true;
}

bool Opaque(const Image& image) {
    for (std::size_t i = 3; i < image.rgba.size(); i += kRgbaBytes) {
        if (image.rgba[i] != kOpaque) {
            return false;
        }
    }
    return true;
}

} // namespace

std::optional<std::vector<unsigned char>> EncodePng(const Image& image, std::string& why) {
    if (image.width == 0 || image.height == 0 || image.width > kPngDimensionLimit ||
        image.height > kPngDimensionLimit) {
        why = "a PNG cannot hold " + std::to_string(image.width) + "x" +
              std::to_string(image.height) + " pixels";
        return std::nullopt;
    }
    if (image.rgba.size() != std::uint64_t{image.width} * image.height * kRgbaBytes) {
        why = "the image holds " + std::to_string(image.rgba.size()) + " bytes, not " +
              std::to_string(image.width) + "x" + std::to_string(image.height) + " pixels";
        return std::nullopt;
    }
    PngWrite state;
    // Room for a file a quarter the size of the pixels before it has to grow.
    state.out.reserve(image.rgba.size() / 4 + 1024);
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, &state, ErrorCallback, WarningCallback);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        why = "libpng could not start a PNG file";
        return std::nullopt;
    }
    png_set_write_fn(png, &state, WriteCallback, FlushCallback);
    const bool written = WriteImage(png, info, image, Opaque(image));
    png_destroy_write_struct(&png, &info);
    if (!written) {
        why = std::string("libpng: ") + state.message;
        return std::nullopt;
    }
    return std::move(state.out);
}

} // namespace Kestrune
