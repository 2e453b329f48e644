#pragma once

// Encoding content into a piece's coded bytes, the inverse of Codecs.h, for
// the packers: libdeflate (Zlib, Gzip, Deflate), liblz4 and libzstd. No
// other file includes an encoder's header.

#include "ArchiveEntry.h"

#include <span>
#include <vector>

namespace Kestrune {

// True for the codecs EncodeWhole writes.
bool CanEncode(Codec codec);

// `in` encoded as one stream (Zlib, Gzip, Deflate, Zstd) or one LZ4 block,
// replacing what `out` held. The same bytes give the same output on every
// run and every thread. False when the codec is not one CanEncode takes or
// the library fails.
bool EncodeWhole(Codec codec, std::span<const unsigned char> in, std::vector<unsigned char>& out);

} // namespace Kestrune
