#include "ZipBuilder.h"

#include "PackageBuilder.h"

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

namespace Kestrune::Testing {
namespace {

std::string RawDeflate(std::string_view data) {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, static_cast<uLong>(data.size())) + 16, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// ZIP's LZMA: LZMA SDK version, property size 5, properties, then the
// stream with its end marker (flag bit 1).
std::string ZipLzma(std::string_view data) {
    lzma_options_lzma options{};
    lzma_lzma_preset(&options, 1);
    lzma_filter plain{LZMA_FILTER_LZMA1, &options};
    std::string out = {'\x09', '\x14', '\x05', '\x00'};
    unsigned char properties[5];
    if (lzma_properties_encode(&plain, properties) != LZMA_OK) {
        return {};
    }
    out.append(reinterpret_cast<const char*>(properties), sizeof properties);
    lzma_stream stream = LZMA_STREAM_INIT;
    lzma_filter chain[2] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    if (lzma_raw_encoder(&stream, chain) != LZMA_OK) {
        return {};
    }
    const std::size_t header = out.size();
    out.resize(header + data.size() + data.size() / 2 + 1024);
    stream.next_in = reinterpret_cast<const std::uint8_t*>(data.data());
    stream.avail_in = data.size();
    stream.next_out = reinterpret_cast<std::uint8_t*>(out.data() + header);
    stream.avail_out = out.size() - header;
    while (lzma_code(&stream, LZMA_FINISH) == LZMA_OK) {
    }
    out.resize(header + stream.total_out);
    lzma_end(&stream);
    return out;
}

} // namespace

std::string ZipCompress(std::uint16_t method, std::string_view data) {
    switch (method) {
    case 8:
        return RawDeflate(data);
    case 12: {
        std::string out(data.size() + data.size() / 100 + 600, '\0');
        auto length = static_cast<unsigned>(out.size());
        BZ2_bzBuffToBuffCompress(out.data(), &length, const_cast<char*>(data.data()),
                                 static_cast<unsigned>(data.size()), 9, 0, 0);
        out.resize(length);
        return out;
    }
    case 14:
        return ZipLzma(data);
    case 93: {
        std::string out(ZSTD_compressBound(data.size()), '\0');
        out.resize(ZSTD_compress(out.data(), out.size(), data.data(), data.size(), 3));
        return out;
    }
    case 95: {
        std::string out(lzma_stream_buffer_bound(data.size()), '\0');
        std::size_t length = 0;
        if (lzma_easy_buffer_encode(1, LZMA_CHECK_CRC64, nullptr,
                                    reinterpret_cast<const std::uint8_t*>(data.data()), data.size(),
                                    reinterpret_cast<std::uint8_t*>(out.data()), &length,
                                    out.size()) != LZMA_OK) {
            return {};
        }
        out.resize(length);
        return out;
    }
    default:
        return std::string(data);
    }
}

std::string BuildZip(const std::vector<ZipFile>& files, const ZipLayout& layout) {
    Bytes body;
    Bytes central;
    for (const ZipFile& file : files) {
        const std::string stored = file.stored.value_or(ZipCompress(file.method, file.content));
        const auto crc = file.crc.value_or(static_cast<std::uint32_t>(
            ::crc32(0, reinterpret_cast<const Bytef*>(file.content.data()),
                    static_cast<uInt>(file.content.size()))));
        const std::uint16_t flags = static_cast<std::uint16_t>(
            file.flags | (file.descriptor ? 0x0008 : 0) | (file.method == 14 ? 0x0002 : 0));
        const std::uint64_t local = body.size();
        const std::uint16_t needed = file.zip64 ? 45 : 20;
        // Local header: with ZIP64, both sizes in the extra field.
        Bytes localExtra;
        if (file.zip64) {
            localExtra.u16(0x0001).u16(16).u64(file.content.size()).u64(stored.size());
        }
        localExtra.raw(file.extra);
        body.u32(0x04034B50).u16(needed).u16(flags).u16(file.method).u16(file.time).u16(file.date);
        if (file.descriptor) {
            body.u32(0).u32(file.zip64 ? 0xFFFFFFFF : 0).u32(file.zip64 ? 0xFFFFFFFF : 0);
        } else {
            body.u32(crc)
                .u32(file.zip64 ? 0xFFFFFFFF : static_cast<std::uint32_t>(stored.size()))
                .u32(file.zip64 ? 0xFFFFFFFF : static_cast<std::uint32_t>(file.content.size()));
        }
        body.u16(static_cast<std::uint16_t>(file.name.size()))
            .u16(static_cast<std::uint16_t>(localExtra.size()))
            .raw(file.name)
            .raw(localExtra.str())
            .raw(stored);
        if (file.descriptor) {
            body.u32(0x08074B50).u32(crc);
            if (file.zip64) {
                body.u64(stored.size()).u64(file.content.size());
            } else {
                body.u32(static_cast<std::uint32_t>(stored.size()))
                    .u32(static_cast<std::uint32_t>(file.content.size()));
            }
        }
        const std::uint64_t offset = file.localOffset.value_or(local);
        Bytes centralExtra;
        if (file.zip64) {
            centralExtra.u16(0x0001)
                .u16(24)
                .u64(file.content.size())
                .u64(stored.size())
                .u64(offset);
        }
        centralExtra.raw(file.extra);
        central.u32(0x02014B50)
            .u16(0x031E)
            .u16(needed)
            .u16(flags)
            .u16(file.method)
            .u16(file.time)
            .u16(file.date)
            .u32(crc)
            .u32(file.zip64 ? 0xFFFFFFFF : static_cast<std::uint32_t>(stored.size()))
            .u32(file.zip64 ? 0xFFFFFFFF : static_cast<std::uint32_t>(file.content.size()))
            .u16(static_cast<std::uint16_t>(file.name.size()))
            .u16(static_cast<std::uint16_t>(centralExtra.size()))
            .u16(0)
            .u16(0)
            .u16(0)
            .u32(0)
            .u32(file.zip64 ? 0xFFFFFFFF : static_cast<std::uint32_t>(offset))
            .raw(file.name)
            .raw(centralExtra.str());
    }
    // Offsets count from the archive's start, after the prefix.
    const std::uint64_t directory = body.size();
    const std::uint64_t count = layout.declaredCount.value_or(files.size());
    Bytes out;
    out.raw(layout.prefix).raw(body.str()).raw(central.str());
    if (layout.zip64End) {
        const std::uint64_t record = body.size() + central.size();
        out.u32(0x06064B50).u64(44).u16(45).u16(45).u32(0).u32(0).u64(count).u64(count);
        out.u64(central.size()).u64(directory);
        out.u32(0x07064B50).u32(0).u64(record).u32(1);
    }
    const bool wide = layout.zip64End;
    out.u32(0x06054B50)
        .u16(0)
        .u16(0)
        .u16(wide ? 0xFFFF : static_cast<std::uint16_t>(count))
        .u16(wide ? 0xFFFF : static_cast<std::uint16_t>(count))
        .u32(wide ? 0xFFFFFFFF : static_cast<std::uint32_t>(central.size()))
        .u32(wide ? 0xFFFFFFFF : static_cast<std::uint32_t>(directory))
        .u16(static_cast<std::uint16_t>(layout.comment.size()))
        .raw(layout.comment);
    return out.str();
}

} // namespace Kestrune::Testing
