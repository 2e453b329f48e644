#include "Codecs.h"

#include <cstring>

namespace Kestrune {

std::string_view CodecName(Codec codec) {
    switch (codec) {
    case Codec::Stored:
        return "None";
    case Codec::Zlib:
        return "Zlib";
    case Codec::Gzip:
        return "Gzip";
    case Codec::Deflate:
        return "Deflate";
    case Codec::Lz4:
        return "LZ4";
    case Codec::Lzma:
    case Codec::LzmaAlone:
        return "LZMA";
    case Codec::Zstd:
        return "Zstd";
    case Codec::Oodle:
        return "Oodle";
    }
    return "None";
}

std::optional<std::string> DecodeWhole(Codec codec, std::span<const unsigned char> coded,
                                       std::span<unsigned char> out, const ReadOptions&) {
    if (codec == Codec::Stored) {
        if (coded.size() != out.size()) {
            return "holds " + std::to_string(coded.size()) + " bytes, " +
                   std::to_string(out.size()) + " declared";
        }
        if (!coded.empty()) {
            std::memcpy(out.data(), coded.data(), coded.size());
        }
        return std::nullopt;
    }
    return std::string(CodecName(codec)) + " is not decoded yet";
}

} // namespace Kestrune
