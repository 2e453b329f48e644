#include "Fsb5.h"

#include "Bounds.h"
#include "UnityBytes.h"

#include <cstring>

namespace Kestrune::Unity {
namespace {

constexpr std::size_t kHeaderSize = 60;
constexpr std::size_t kVersion0Extra = 4;
constexpr std::uint32_t kChannelsChunk = 1;
constexpr std::uint32_t kRateChunk = 2;
constexpr std::uint32_t kRates[] = {0,     8000,  11000, 11025, 16000,
                                    22050, 24000, 32000, 44100, 48000};
constexpr std::uint32_t kPcmFloat = 5;

void Put(std::vector<unsigned char>& out, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        out.push_back(static_cast<unsigned char>((value >> (8 * i)) & 0xFF));
    }
}

} // namespace

std::string FsbModeName(std::uint32_t mode) {
    static constexpr const char* kNames[] = {
        "none",  "PCM8", "PCM16", "PCM24", "PCM32", "PCM float", "GC ADPCM", "IMA ADPCM", "VAG",
        "HEVAG", "XMA",  "MPEG",  "CELT",  "AT9",   "XWMA",      "Vorbis",   "FADPCM"};
    return mode < std::size(kNames) ? kNames[mode] : "mode " + std::to_string(mode);
}

std::uint32_t FsbPcmBits(std::uint32_t mode) {
    switch (mode) {
    case 2:
        return 16;
    case 3:
        return 24;
    case 4:
    case kPcmFloat:
        return 32;
    default:
        return 0; // PCM8 is signed in a bank and unsigned in a WAVE file: kept as the bank
    }
}

std::optional<FsbBank> ReadFsbBank(std::span<const unsigned char> head, std::uint64_t size,
                                   std::string& why) {
    Cursor in(head, false);
    const auto magic = in.Take(4);
    if (!in.ok() || std::memcmp(magic.data(), "FSB5", 4) != 0) {
        why = "the audio is not an FSB5 bank";
        return std::nullopt;
    }
    const std::uint32_t version = in.U32();
    const std::uint32_t count = in.U32();
    const std::uint32_t headersSize = in.U32();
    const std::uint32_t namesSize = in.U32();
    const std::uint32_t dataSize = in.U32();
    FsbBank bank;
    bank.mode = in.U32();
    const std::uint64_t headerSize = kHeaderSize + (version == 0 ? kVersion0Extra : 0);
    const std::uint64_t dataStart = headerSize + headersSize + namesSize;
    if (!in.ok() || version > 1 || !FitsWithin(dataStart, dataSize, size) ||
        !FitsWithin(headerSize, headersSize, head.size()) || !in.Holds(count, 8)) {
        why = "the FSB5 bank's header does not fit its " + std::to_string(size) + " bytes";
        return std::nullopt;
    }
    bank.size = dataStart + dataSize;
    in.Seek(static_cast<std::size_t>(headerSize));
    Cursor tables(in.Take(headersSize), false);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t bits = tables.U64();
        FsbSample& sample = bank.samples.emplace_back();
        sample.rate = kRates[((bits >> 1) & 0xF) < std::size(kRates) ? (bits >> 1) & 0xF : 0];
        sample.channels = ((bits >> 5) & 1) + 1;
        sample.offset = ((bits >> 6) & 0x0FFFFFFF) * 16;
        bool more = (bits & 1) != 0;
        while (more && tables.ok()) {
            const std::uint32_t chunk = tables.U32();
            more = (chunk & 1) != 0;
            const std::uint32_t chunkSize = (chunk >> 1) & 0xFFFFFF;
            const std::uint32_t type = chunk >> 25;
            Cursor body(tables.Take(chunkSize), false);
            if (type == kChannelsChunk) {
                sample.channels = body.U8();
            } else if (type == kRateChunk) {
                sample.rate = body.U32();
            }
        }
        if (!tables.ok() || sample.offset > dataSize || sample.rate == 0 || sample.channels == 0) {
            why = "FSB5 sample " + std::to_string(i) + "'s header is damaged";
            return std::nullopt;
        }
        sample.offset += dataStart;
    }
    for (std::size_t i = 0; i < bank.samples.size(); ++i) {
        const std::uint64_t end =
            i + 1 < bank.samples.size() ? bank.samples[i + 1].offset : bank.size;
        if (end < bank.samples[i].offset) {
            why = "FSB5 sample " + std::to_string(i) + " ends before it starts";
            return std::nullopt;
        }
        bank.samples[i].size = end - bank.samples[i].offset;
    }
    return bank;
}

std::vector<unsigned char> WaveFile(std::span<const unsigned char> data, std::uint32_t rate,
                                    std::uint32_t channels, std::uint32_t bits, bool isFloat) {
    constexpr std::uint32_t kPcmTag = 1;
    constexpr std::uint32_t kFloatTag = 3;
    std::vector<unsigned char> out;
    out.reserve(44 + data.size());
    const std::uint32_t frame = channels * (bits / 8);
    out.insert(out.end(), {'R', 'I', 'F', 'F'});
    Put(out, 36 + data.size(), 4);
    out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    Put(out, 16, 4);
    Put(out, isFloat ? kFloatTag : kPcmTag, 2);
    Put(out, channels, 2);
    Put(out, rate, 4);
    Put(out, static_cast<std::uint64_t>(rate) * frame, 4);
    Put(out, frame, 2);
    Put(out, bits, 2);
    out.insert(out.end(), {'d', 'a', 't', 'a'});
    Put(out, data.size(), 4);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

} // namespace Kestrune::Unity
