#pragma once

// Decoding one piece's coded bytes into its content, through each codec's own
// library: zlib (Zlib, Gzip, Deflate), liblz4, liblzma, libzstd, and the
// user's Oodle library loaded at run time.

#include "ArchiveEntry.h"
#include "ReadOptions.h"

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace Kestrune {

// The method's name as listings show it: "None", "Zlib", "Gzip", "Deflate",
// "LZ4", "LZMA", "Zstd", "Oodle".
std::string_view CodecName(Codec codec);

// Decodes all of `coded` into exactly `out.size()` bytes. Nullopt when it
// did; otherwise why not, in words ("LZ4 data is damaged", "decodes to more
// than 65536 bytes declared", "compressed with Oodle: give the path of the
// Oodle library with --oodle"). Never writes beyond `out`, whatever the
// coded bytes declare.
std::optional<std::string> DecodeWhole(Codec codec, std::span<const unsigned char> coded,
                                       std::span<unsigned char> out,
                                       const ReadOptions& options = {});

} // namespace Kestrune
