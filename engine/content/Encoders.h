#pragma once

// Encoding content into a piece's coded bytes, the inverse of Codecs.h, for
// the packers: libdeflate (Zlib, Gzip, Deflate), liblz4 and libzstd. No
// other file includes an encoder's header.

#include "ArchiveEntry.h"

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace Kestrune {

// True for the codecs EncodeWhole writes (Oodle: with the user's library).
bool CanEncode(Codec codec);

// Why Oodle blocks cannot be written with the user's library at `library`
// (none given, it does not load, it has no encoder); nullopt when they can.
std::optional<std::string> OodleEncoderMissing(const std::string& library);

// `in` encoded as one stream (Zlib, Gzip, Deflate, Zstd) or one block (LZ4;
// Oodle Mermaid at its normal level, through the user's library at
// `oodleLibrary`), replacing what `out` held. The same bytes give the same
// output on every run and every thread. False when the codec is not one
// CanEncode takes or the library fails.
bool EncodeWhole(Codec codec, std::span<const unsigned char> in, std::vector<unsigned char>& out,
                 const std::string& oodleLibrary = {});

// One part of a raw Deflate stream cut into parts that are compressed each
// on its own (by several threads) and joined in order, as pigz does: `in`
// deflated by zlib at its default level, the part's matches reaching back
// into `window` (the up to 32 KiB of content just before `in`), ending on a
// byte boundary (an empty stored block) unless it is the `last` part, which
// ends the stream. The parts of one content always join into the same
// stream, whatever thread made each. Replaces what `out` held; false when
// zlib fails.
bool EncodeDeflatePart(std::span<const unsigned char> window, std::span<const unsigned char> in,
                       bool last, std::vector<unsigned char>& out);

} // namespace Kestrune
