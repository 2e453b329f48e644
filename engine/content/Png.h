#pragma once

// Writing decoded pixels as PNG files, through libpng. No other file
// includes libpng's header.

#include "Texture.h"

#include <optional>
#include <string>
#include <vector>

namespace Kestrune {

/// `image` as a PNG file, written in memory: 8-bit RGB when every alpha is
/// 255, 8-bit RGBA otherwise; zlib's default level and libpng's default
/// filters. Nullopt with `why` on failure (an image whose pixel count does not
/// match its size, libpng's own refusals).
std::optional<std::vector<unsigned char>> EncodePng(const Image& image, std::string& why);

} // namespace Kestrune
