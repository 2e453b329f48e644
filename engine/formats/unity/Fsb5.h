#pragma once

// FMOD sound banks (FSB5), as Unity stores an AudioClip's audio in its
// .resource file. Little-endian.
//
//   Header (60 bytes; 64 in version 0, which has 4 more after `mode`)
//     "FSB5", u32 version (0 or 1), u32 sample count, u32 sample headers
//     size, u32 name table size, u32 data size, u32 mode (the codec: 1 PCM8,
//     2 PCM16, 3 PCM24, 4 PCM32, 5 PCM float, 6 GC ADPCM, 7 IMA ADPCM,
//     8 VAG, 9 HEVAG, 10 XMA, 11 MPEG, 12 CELT, 13 AT9, 14 XWMA, 15 Vorbis,
//     16 FADPCM), 8 zero bytes, 16 bytes hash, 8 bytes unused
//   Sample headers, one u64 each, then its chunks:
//     bit 0 more chunks follow, bits 1-4 rate index (1 8000, 2 11000,
//     3 11025, 4 16000, 5 22050, 6 24000, 7 32000, 8 44100, 9 48000),
//     bit 5 two channels, bits 6-33 data offset / 16, bits 34-63 frames
//     chunk: u32 (bit 0 more chunks, bits 1-24 size, bits 25-31 type:
//     1 channels u8, 2 rate u32, others not needed here), then its bytes
//   Name table, then the sample data: each sample from its offset to the
//   next one's, the last to the data size.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace Kestrune::Unity {

struct FsbSample {
    std::uint32_t rate = 0;
    std::uint32_t channels = 0;
    std::uint64_t offset = 0; ///< From the bank's start.
    std::uint64_t size = 0;
};

struct FsbBank {
    std::uint32_t mode = 0;
    std::uint64_t size = 0; ///< Bytes of the whole bank: header, tables, data.
    std::vector<FsbSample> samples;
};

/// The codec's name for `mode` ("PCM16", "Vorbis"); "mode N" for others.
std::string FsbModeName(std::uint32_t mode);

/// Bits per sample of the PCM modes; 0 for the others.
std::uint32_t FsbPcmBits(std::uint32_t mode);

/// Reads the bank's header and sample headers from its first bytes `head`
/// (the tables must lie in them) of a bank of `size` bytes. Nullopt with
/// `why` when it is not one or does not fit.
std::optional<FsbBank> ReadFsbBank(std::span<const unsigned char> head, std::uint64_t size,
                                   std::string& why);

/// A RIFF WAVE file of the PCM sample `data`.
std::vector<unsigned char> WaveFile(std::span<const unsigned char> data, std::uint32_t rate,
                                    std::uint32_t channels, std::uint32_t bits, bool isFloat);

} // namespace Kestrune::Unity
