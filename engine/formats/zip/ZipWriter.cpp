#include "ByteOrder.h"
#include "Codecs.h"
#include "Encoders.h"
#include "PackWriters.h"
#include "Utf8.h"
#include "ZipFormat.h"

#include <algorithm>
#include <thread>
#include <unordered_set>

// A ZIP archive (layout in ZipFormat.h) as the game engines of the family
// read one (pk3, pk4, ipk3, pke): each file's local header and stored bytes
// in plan order from offset 0, then the central directory and the end
// record. Files only: no folder records, which the engines skip. Every
// entry is stored or deflated (the two methods every engine of the family
// reads), has no extra field but the ZIP64 one where a size or an offset
// needs it, and carries one time stamp, so that the same files give the
// same bytes on every machine and every day. Names are UTF-8, flagged so
// when they are not ASCII.
//
// Content is deflated in parts of 64 KiB, each part compressed on its own
// by one of several threads with the 32 KiB before it as its window, and
// the parts joined in order into one Deflate stream: the bytes never depend
// on which thread finished first. An entry whose stream does not come out
// smaller than its content is stored. Sizes and the CRC-32 come before the
// stored bytes (no data descriptor): a file up to 16 MiB is held in memory
// from the pass that learns them, a larger one read again to be written.
namespace Kestrune::Zip {
namespace {

constexpr std::uint16_t kFlagUtf8 = 0x0800;
constexpr std::uint16_t kMethodStore = 0;
constexpr std::uint16_t kMethodDeflate = 8;
// Versions needed to extract: 1.0 stored, 2.0 deflated, 4.5 ZIP64.
constexpr std::uint16_t kNeedsStore = 10;
constexpr std::uint16_t kNeedsDeflate = 20;
constexpr std::uint16_t kNeedsZip64 = 45;
constexpr std::uint16_t kExtraZip64 = 0x0001;
constexpr std::uint32_t kAllOnes32 = 0xFFFFFFFF;
constexpr std::uint16_t kAllOnes16 = 0xFFFF;
constexpr std::uint64_t kNameLimit = 0xFFFF;

constexpr std::size_t kPart = 65536;
constexpr std::size_t kWindow = 32768;
// Parts handed to the threads at a time.
constexpr std::size_t kBatchParts = 32;
constexpr std::uint64_t kHeldFile = std::uint64_t{16} << 20;

void AppendU16LE(std::string& out, std::uint16_t value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>(value >> 8));
}

std::string Folded(std::string_view name) {
    std::string folded(name);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return folded;
}

// Days since 1970-01-01 of a civil date's year, month and day (Howard
// Hinnant's algorithm), inverted: the date of `days`.
void CivilFromDays(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shifted = (5 * dayOfYear + 2) / 153;
    day = dayOfYear - (153 * shifted + 2) / 5 + 1;
    month = shifted < 10 ? shifted + 3 : shifted - 9;
    year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
}

} // namespace

DosStamp DosStampOf(std::optional<std::int64_t> seconds) {
    // MS-DOS time runs from 1980-01-01 00:00:00 to 2107-12-31 23:59:58, in
    // steps of two seconds, with no zone: the time is taken as UTC.
    constexpr std::int64_t kFirst = 315532800; // 1980-01-01 00:00:00
    constexpr std::int64_t kLast = 4354819198; // 2107-12-31 23:59:58
    const std::int64_t t = std::clamp<std::int64_t>(seconds.value_or(kFirst), kFirst, kLast);
    const std::int64_t days = t / 86400;
    const auto second = static_cast<unsigned>(t % 86400);
    std::int64_t year = 0;
    unsigned month = 0;
    unsigned day = 0;
    CivilFromDays(days, year, month, day);
    DosStamp stamp;
    stamp.date = static_cast<std::uint16_t>(((year - 1980) << 9) | (month << 5) | day);
    stamp.time = static_cast<std::uint16_t>(((second / 3600) << 11) | ((second / 60 % 60) << 5) |
                                            (second % 60 / 2));
    return stamp;
}

namespace {

// What the central directory says of one entry.
struct Record {
    std::string_view name;
    std::uint16_t method = kMethodStore;
    std::uint32_t crc = 0;
    std::uint64_t size = 0;
    std::uint64_t storedSize = 0;
    std::uint64_t offset = 0;
};

bool BigSizes(const Record& r) {
    return r.size >= kAllOnes32 || r.storedSize >= kAllOnes32;
}

std::uint16_t Needed(const Record& r, bool zip64) {
    return zip64 ? kNeedsZip64 : r.method == kMethodDeflate ? kNeedsDeflate : kNeedsStore;
}

std::uint16_t Flags(const Record& r) {
    return std::all_of(r.name.begin(), r.name.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; })
               ? 0
               : kFlagUtf8;
}

// The local header: with both sizes in a ZIP64 field when either is too
// large for 32 bits, as readers expect them there.
std::string LocalHeader(const Record& r, DosStamp stamp) {
    const bool zip64 = BigSizes(r);
    std::string h;
    AppendU32LE(h, kLocalSignature);
    AppendU16LE(h, Needed(r, zip64));
    AppendU16LE(h, Flags(r));
    AppendU16LE(h, r.method);
    AppendU16LE(h, stamp.time);
    AppendU16LE(h, stamp.date);
    AppendU32LE(h, r.crc);
    AppendU32LE(h, zip64 ? kAllOnes32 : static_cast<std::uint32_t>(r.storedSize));
    AppendU32LE(h, zip64 ? kAllOnes32 : static_cast<std::uint32_t>(r.size));
    AppendU16LE(h, static_cast<std::uint16_t>(r.name.size()));
    AppendU16LE(h, zip64 ? 20 : 0);
    h += r.name;
    if (zip64) {
        AppendU16LE(h, kExtraZip64);
        AppendU16LE(h, 16);
        AppendU64LE(h, r.size);
        AppendU64LE(h, r.storedSize);
    }
    return h;
}

// The central directory record: each field too large for 32 bits all ones,
// its value in the ZIP64 field, in the order size, stored size, offset.
void AppendCentral(std::string& out, const Record& r, DosStamp stamp) {
    const bool bigSize = r.size >= kAllOnes32;
    const bool bigStored = r.storedSize >= kAllOnes32;
    const bool bigOffset = r.offset >= kAllOnes32;
    const auto extra = static_cast<std::uint16_t>(8 * (int{bigSize} + bigStored + bigOffset));
    const bool zip64 = extra != 0;
    AppendU32LE(out, kCentralSignature);
    AppendU16LE(out, Needed(r, zip64)); // made by: MS-DOS, the version needed
    AppendU16LE(out, Needed(r, zip64));
    AppendU16LE(out, Flags(r));
    AppendU16LE(out, r.method);
    AppendU16LE(out, stamp.time);
    AppendU16LE(out, stamp.date);
    AppendU32LE(out, r.crc);
    AppendU32LE(out, bigStored ? kAllOnes32 : static_cast<std::uint32_t>(r.storedSize));
    AppendU32LE(out, bigSize ? kAllOnes32 : static_cast<std::uint32_t>(r.size));
    AppendU16LE(out, static_cast<std::uint16_t>(r.name.size()));
    AppendU16LE(out, zip64 ? static_cast<std::uint16_t>(4 + extra) : 0);
    AppendU16LE(out, 0); // comment
    AppendU16LE(out, 0); // disk
    AppendU16LE(out, 0); // internal attributes
    AppendU32LE(out, 0); // external attributes
    AppendU32LE(out, bigOffset ? kAllOnes32 : static_cast<std::uint32_t>(r.offset));
    out += r.name;
    if (zip64) {
        AppendU16LE(out, kExtraZip64);
        AppendU16LE(out, extra);
        for (const auto& [big, value] :
             {std::pair{bigSize, r.size}, std::pair{bigStored, r.storedSize},
              std::pair{bigOffset, r.offset}}) {
            if (big) {
                AppendU64LE(out, value);
            }
        }
    }
}

// The end records: a ZIP64 end record and its locator first when a count,
// size or offset does not fit its field.
std::string EndRecords(std::uint64_t count, std::uint64_t directoryAt,
                       std::uint64_t directorySize) {
    const bool bigCount = count >= kAllOnes16;
    const bool bigSize = directorySize >= kAllOnes32;
    const bool bigOffset = directoryAt >= kAllOnes32;
    std::string end;
    if (bigCount || bigSize || bigOffset) {
        const std::uint64_t recordAt = directoryAt + directorySize;
        AppendU32LE(end, kZip64EndSignature);
        AppendU64LE(end, kZip64EndSize - 12);
        AppendU16LE(end, kNeedsZip64);
        AppendU16LE(end, kNeedsZip64);
        AppendU32LE(end, 0);
        AppendU32LE(end, 0);
        AppendU64LE(end, count);
        AppendU64LE(end, count);
        AppendU64LE(end, directorySize);
        AppendU64LE(end, directoryAt);
        AppendU32LE(end, kZip64LocatorSignature);
        AppendU32LE(end, 0);
        AppendU64LE(end, recordAt);
        AppendU32LE(end, 1);
    }
    const auto count16 = static_cast<std::uint16_t>(bigCount ? kAllOnes16 : count);
    AppendU32LE(end, kEndSignature);
    AppendU16LE(end, 0);
    AppendU16LE(end, 0);
    AppendU16LE(end, count16);
    AppendU16LE(end, count16);
    AppendU32LE(end, bigSize ? kAllOnes32 : static_cast<std::uint32_t>(directorySize));
    AppendU32LE(end, bigOffset ? kAllOnes32 : static_cast<std::uint32_t>(directoryAt));
    AppendU16LE(end, 0); // comment
    return end;
}

// Deflates one file's content part by part, handing each part's bytes to
// `emit` in order.
class Deflater {
public:
    explicit Deflater(unsigned threads) : threads_(std::max(1u, threads)) {}

    // Runs over the file; nullopt or why it failed ("stopped" when `emit`
    // refused). `each` sees the content as it is read.
    std::optional<std::string>
    Run(const PackFile& file, const std::function<void(std::span<const unsigned char>)>& each,
        const std::function<bool(std::span<const unsigned char>)>& emit) {
        raw_.clear();
        windowLength_ = 0;
        std::optional<std::string> failure;
        std::optional<std::string> read =
            ReadPackFile(file, [&](std::span<const unsigned char> bytes) {
                each(bytes);
                raw_.insert(raw_.end(), bytes.begin(), bytes.end());
                // A part is kept back until the content ends: the last part
                // ends the stream.
                if (raw_.size() > windowLength_ + kPart * kBatchParts) {
                    failure = Flush(false, emit);
                }
                return !failure;
            });
        if (read && *read != "stopped") {
            return read;
        }
        if (!failure) {
            failure = Flush(true, emit);
        }
        return failure;
    }

private:
    // raw_ holds the window (the content just before the parts) and then
    // the parts to compress.
    std::optional<std::string>
    Flush(bool last, const std::function<bool(std::span<const unsigned char>)>& emit) {
        const std::size_t body = raw_.size() - windowLength_;
        std::size_t count = (body + kPart - 1) / kPart;
        if (!last) {
            count = body / kPart;
            if (count * kPart == body) {
                --count;
            }
        }
        out_.resize(std::max(out_.size(), count));
        std::vector<char> ok(count, 1);
        const auto one = [&](std::size_t p) {
            const std::size_t begin = windowLength_ + p * kPart;
            const std::size_t end = std::min(raw_.size(), begin + kPart);
            const std::size_t from = begin - std::min(begin, kWindow);
            ok[p] = EncodeDeflatePart({raw_.data() + from, begin - from},
                                      {raw_.data() + begin, end - begin}, last && p + 1 == count,
                                      out_[p])
                        ? 1
                        : 0;
        };
        const auto work = [&](std::size_t first) {
            for (std::size_t p = first; p < count; p += threads_) {
                one(p);
            }
        };
        if (threads_ > 1 && count > 1) {
            std::vector<std::thread> pool;
            for (std::size_t t = 1; t < threads_ && t < count; ++t) {
                pool.emplace_back(work, t);
            }
            work(0);
            for (std::thread& thread : pool) {
                thread.join();
            }
        } else {
            work(0);
        }
        for (std::size_t p = 0; p < count; ++p) {
            if (ok[p] == 0) {
                return std::string("Deflate compression failed");
            }
            if (!emit(out_[p])) {
                return std::string("stopped");
            }
        }
        // Keep the window for the parts still to come.
        const std::size_t done = std::min(raw_.size(), windowLength_ + count * kPart);
        const std::size_t keep = std::min(done, kWindow);
        raw_.erase(raw_.begin(), raw_.begin() + static_cast<std::ptrdiff_t>(done - keep));
        windowLength_ = keep;
        return std::nullopt;
    }

    std::size_t threads_;
    std::vector<unsigned char> raw_;
    std::size_t windowLength_ = 0;
    std::vector<std::vector<unsigned char>> out_;
};

std::optional<std::string> CheckSettings(const PackSettings& s) {
    if (s.compression != Codec::Stored && s.compression != Codec::Deflate) {
        return "--compression " + std::string(CodecName(s.compression)) +
               ": a ZIP package holds Deflate or None, the methods every engine of the family "
               "reads";
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> WritePackage(const PackPlan& plan, PackOutput& out,
                                        std::uint64_t& entries) {
    const PackSettings& settings = plan.settings;
    if (auto bad = CheckSettings(settings)) {
        return bad;
    }
    // Names every reader of the family finds as given: UTF-8, "/" between
    // folders, none that another one differs from only in letter case (the
    // engines look names up without it).
    std::unordered_set<std::string> seen;
    for (const PackFile& file : plan.files) {
        const std::string quoted = "'" + file.name + "'";
        if (!IsValidUtf8(file.name)) {
            return quoted + " is not UTF-8 text: a ZIP package cannot hold the name";
        }
        if (file.name.find('\\') != std::string::npos) {
            return quoted + " holds a backslash, which ZIP readers take for a folder separator";
        }
        if (file.name.size() > kNameLimit) {
            return quoted + " is longer than a ZIP name can be (65,535 bytes)";
        }
        if (!seen.insert(Folded(file.name)).second) {
            return quoted +
                   " differs from another name only in letter case: the game would read one of "
                   "them";
        }
    }

    PackSink* sink = out.Create(out.PackageName());
    if (sink == nullptr) {
        return out.Failure();
    }
    const DosStamp stamp = DosStampOf(settings.timestamp);
    unsigned threads =
        settings.threads != 0 ? settings.threads : std::thread::hardware_concurrency();
    threads = std::clamp(threads, 1u, 16u);
    Deflater deflater(threads);
    std::vector<Record> records;
    records.reserve(plan.files.size());
    std::vector<unsigned char> held;

    for (const PackFile& file : plan.files) {
        Record r;
        r.name = file.name;
        r.offset = sink->Position();
        r.size = file.size;
        const bool holdWhole = file.size <= kHeldFile;
        std::uint32_t crc = 0;
        const auto sum = [&](std::span<const unsigned char> bytes) { crc = Crc32(crc, bytes); };
        const bool tried = settings.compression == Codec::Deflate && file.size > 0;
        bool deflated = tried;
        held.clear();
        if (tried) {
            // First pass: the CRC-32 and the stream's length (and the stream,
            // for a file small enough to hold).
            std::uint64_t stored = 0;
            if (auto failure = deflater.Run(file, sum, [&](std::span<const unsigned char> part) {
                    stored += part.size();
                    if (holdWhole) {
                        held.insert(held.end(), part.begin(), part.end());
                    }
                    return true;
                })) {
                return failure;
            }
            deflated = stored < file.size;
            r.storedSize = stored;
        }
        if (deflated) {
            r.method = kMethodDeflate;
        } else if (!tried || holdWhole) {
            // The content itself, to hold (the CRC-32 is known when the
            // Deflate pass ran).
            r.storedSize = file.size;
            held.clear();
            crc = 0;
            if (auto failure = ReadPackFile(file, [&](std::span<const unsigned char> bytes) {
                    sum(bytes);
                    if (holdWhole) {
                        held.insert(held.end(), bytes.begin(), bytes.end());
                    }
                    return true;
                })) {
                return failure;
            }
        } else {
            r.storedSize = file.size;
        }
        r.crc = static_cast<std::uint32_t>(crc);
        if (!sink->Write(LocalHeader(r, stamp))) {
            return out.Failure();
        }
        std::optional<std::string> failure;
        if (holdWhole) {
            if (!sink->Write(held)) {
                return out.Failure();
            }
        } else if (deflated) {
            failure = deflater.Run(
                file, [](std::span<const unsigned char>) {},
                [&](std::span<const unsigned char> part) { return sink->Write(part); });
        } else {
            failure = ReadPackFile(
                file, [&](std::span<const unsigned char> bytes) { return sink->Write(bytes); });
        }
        if (failure) {
            return *failure == "stopped" ? out.Failure() : *failure;
        }
        records.push_back(r);
    }

    const std::uint64_t directoryAt = sink->Position();
    std::string directory;
    for (const Record& r : records) {
        AppendCentral(directory, r, stamp);
        if (directory.size() >= (std::size_t{1} << 20)) {
            if (!sink->Write(directory)) {
                return out.Failure();
            }
            directory.clear();
        }
    }
    if (!sink->Write(directory)) {
        return out.Failure();
    }
    const std::uint64_t directorySize = sink->Position() - directoryAt;
    if (!sink->Write(EndRecords(records.size(), directoryAt, directorySize))) {
        return out.Failure();
    }
    entries = records.size();
    return std::nullopt;
}

} // namespace Kestrune::Zip
