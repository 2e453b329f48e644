#include "Commands.h"
#include "Console.h"
#include "KestruneEngine.h"
#include "PackageMessages.h"
#include "ReportWriter.h"
#include "Utf8.h"

#include <cstdint>
#include <map>
#include <string_view>

namespace Kestrune {
namespace {

// The two-character escapes RFC 8259 has for some control bytes; 0 for none.
char ShortEscape(unsigned char byte) {
    switch (byte) {
    case '\b':
        return 'b';
    case '\f':
        return 'f';
    case '\n':
        return 'n';
    case '\r':
        return 'r';
    case '\t':
        return 't';
    default:
        return 0;
    }
}

// The document is written straight into the report block: one entry per
// line, strings escaped as RFC 8259 requires.
class JsonWriter {
public:
    explicit JsonWriter(ReportWriter& out) : out_(out) {}

    // `"key":` and the bytes as a JSON string; bytes that are not UTF-8 are
    // shown as U+FFFD, and then `"key_hex":` follows with the exact bytes.
    void Field(std::string_view key, std::string_view bytes) {
        Key(key);
        if (String(bytes)) {
            return;
        }
        out_.Char(',');
        out_.Char('"');
        out_.Text(key);
        out_.Text("_hex\":\"");
        static constexpr char kDigits[] = "0123456789abcdef";
        for (const char c : bytes) {
            const auto b = static_cast<unsigned char>(c);
            out_.Char(kDigits[b >> 4]);
            out_.Char(kDigits[b & 0xF]);
        }
        out_.Char('"');
    }
    void Field(std::string_view key, std::uint64_t value) {
        Key(key);
        out_.Number(value, 10);
    }
    void Key(std::string_view key) {
        out_.Char('"');
        out_.Text(key);
        out_.Text("\":");
    }

private:
    // True when `bytes` were valid UTF-8, so that the string holds them exactly.
    bool String(std::string_view bytes) {
        static constexpr char kDigits[] = "0123456789abcdef";
        bool exact = true;
        out_.Char('"');
        std::size_t i = 0;
        while (i < bytes.size()) {
            // Plain printable ASCII goes out in one piece.
            std::size_t plain = i;
            while (plain < bytes.size() && bytes[plain] >= 0x20 && bytes[plain] != '"' &&
                   bytes[plain] != '\\' && static_cast<unsigned char>(bytes[plain]) < 0x80) {
                ++plain;
            }
            out_.Text(bytes.substr(i, plain - i));
            i = plain;
            if (i == bytes.size()) {
                break;
            }
            const auto b = static_cast<unsigned char>(bytes[i]);
            if (b == '"' || b == '\\') {
                out_.Char('\\');
                out_.Char(static_cast<char>(b));
                ++i;
            } else if (const char shortForm = ShortEscape(b)) {
                out_.Char('\\');
                out_.Char(shortForm);
                ++i;
            } else if (b < 0x20) {
                out_.Text("\\u00");
                out_.Char(kDigits[b >> 4]);
                out_.Char(kDigits[b & 0xF]);
                ++i;
            } else if (std::size_t next = i; DecodeUtf8(bytes, next)) {
                out_.Text(bytes.substr(i, next - i));
                i = next;
            } else {
                out_.Text("\xEF\xBF\xBD"); // U+FFFD REPLACEMENT CHARACTER
                exact = false;
                ++i;
            }
        }
        out_.Char('"');
        return exact;
    }

    ReportWriter& out_;
};

std::string_view KindName(PackageKind kind) {
    const PackageFormat* format = FormatOf(kind);
    return format != nullptr ? format->name : std::string_view{};
}

} // namespace

void BeginFolderJson(const std::string& folder) {
    static ReportWriter report;
    JsonWriter json(report);
    report.Char('{');
    json.Field("folder", folder);
    report.Text(",\"packages\":[\n");
    report.Flush();
}

void EndFolderJson() {
    Console::Out("]}\n");
}

int RunListJsonCommand(const std::string& packagePath, const RunOptions& options,
                       std::string_view lead, bool* written) {
    PackageSummary summary;
    if (!ExaminePackage(packagePath, options.read, summary)) {
        return 1;
    }
    static ReportWriter report; // 256 KiB: too large for the stack
    JsonWriter json(report);
    // The objects of a Unity bundle's serialized files, by entry index.
    // Counted as the entries below are: among those the selection takes.
    std::map<std::uint64_t, Unity::SerializedFileListing> objects;
    KestruneEngine::ListObjects(
        packagePath,
        [&](std::uint64_t entryIndex, const Unity::SerializedFileListing& listing) {
            objects.emplace(entryIndex, listing);
        },
        options.read);
    // What --export does with each object, by its file and path ID.
    std::map<std::pair<std::string, std::int64_t>, PlannedExport> exports;
    bool hasConverters = false;
    KestruneEngine::PlanExport(
        packagePath, hasConverters,
        [&](const PlannedExport& planned) {
            exports.emplace(std::make_pair(planned.entry, planned.pathId), planned);
        },
        options.read);
    const auto writeObjects = [&](std::string_view entryName,
                                  const Unity::SerializedFileListing& listing) {
        report.Char(',');
        json.Key("objects");
        report.Char('[');
        bool first = true;
        for (const Unity::SerializedObject& object : listing.objects) {
            report.Text(first ? "{" : ",{");
            first = false;
            json.Key("path_id");
            const bool negative = object.pathId < 0;
            if (negative) {
                report.Char('-');
            }
            report.Number(negative ? 0 - static_cast<std::uint64_t>(object.pathId)
                                   : static_cast<std::uint64_t>(object.pathId),
                          10);
            report.Char(',');
            json.Key("class_id");
            if (object.classId < 0) {
                report.Char('-');
            }
            report.Number(static_cast<std::uint64_t>(
                              object.classId < 0 ? -static_cast<std::int64_t>(object.classId)
                                                 : object.classId),
                          10);
            report.Char(',');
            json.Field("class", object.className);
            report.Char(',');
            json.Field("name", object.name);
            report.Char(',');
            if (object.containerPath) {
                json.Field("container_path", *object.containerPath);
            } else {
                json.Key("container_path");
                report.Text("null");
            }
            report.Char(',');
            json.Field("offset", object.offset);
            report.Char(',');
            json.Field("size", object.size);
            if (object.stream) {
                report.Text(",\"stream\":{");
                json.Field("node", object.stream->node);
                report.Char(',');
                json.Field("offset", object.stream->offset);
                report.Char(',');
                json.Field("size", object.stream->size);
                report.Char('}');
            }
            if (!object.note.empty()) {
                report.Char(',');
                json.Field("note", object.note);
            }
            report.Char(',');
            json.Key("export");
            const auto planned = exports.find({std::string(entryName), object.pathId});
            if (planned != exports.end() && planned->second.skipped.empty()) {
                report.Char('{');
                json.Field("name", planned->second.name);
                report.Char(',');
                if (planned->second.output) {
                    json.Field("output", *planned->second.output);
                } else {
                    json.Key("output");
                    report.Text("null");
                }
                report.Char(',');
                json.Field("form", planned->second.form);
                report.Char('}');
            } else {
                report.Text("null");
                if (planned != exports.end()) {
                    report.Char(',');
                    json.Field("export_skipped", planned->second.skipped);
                    if (planned->second.failed) {
                        report.Text(",\"export_failed\":true");
                    }
                }
            }
            report.Char('}');
        }
        report.Char(']');
        if (!listing.layoutVersion.empty()) {
            report.Char(',');
            json.Field("layout_version", listing.layoutVersion);
        }
        if (!listing.note.empty()) {
            report.Char(',');
            json.Field("objects_note", listing.note);
        }
    };
    std::uint64_t index = 0;
    const auto begin = [&](PackageKind kind) {
        report.Text(lead);
        if (written != nullptr) {
            *written = true;
        }
        report.Char('{');
        json.Field("package", packagePath);
        report.Char(',');
        json.Key("kind");
        if (kind == PackageKind::None) {
            report.Text("null");
        } else {
            report.Char('"');
            report.Text(KindName(kind));
            report.Char('"');
        }
        // What the reader knows of the whole package (an Unreal pak's mount
        // point, say), as members of their own, before the entries.
        for (const auto& [name, value] : summary.walk.properties) {
            report.Char(',');
            json.Field(name, value);
        }
        report.Text(",\"entries\":[");
    };
    const auto each = [&](const EntryView& entry, const std::optional<std::string>& output) {
        report.Text(index == 0 ? "\n{" : ",\n{");
        json.Field("index", index);
        report.Char(',');
        json.Field("name", entry.name);
        report.Char(',');
        json.Field("offset", entry.offset);
        report.Char(',');
        json.Field("size", entry.size);
        report.Char(',');
        json.Field("stored_size", entry.compressedSize);
        report.Char(',');
        json.Field("compression", entry.compression);
        report.Char(',');
        json.Key("encrypted");
        report.Text(entry.encrypted ? "true" : "false");
        for (const EntryFact& fact : entry.facts) {
            report.Char(',');
            if (fact.form == EntryFact::Form::Text) {
                json.Field(fact.name, fact.text);
            } else if (fact.form == EntryFact::Form::Number) {
                json.Field(fact.name, fact.number);
            } else {
                json.Key(fact.name);
                report.Text("true");
            }
        }
        report.Char(',');
        // What some kinds store beside the content (a ZIP entry both).
        if (entry.content.crc32) {
            json.Field("crc32", std::uint64_t{*entry.content.crc32});
            report.Char(',');
        }
        if (!entry.modified.empty()) {
            json.Field("modified", entry.modified);
            report.Char(',');
        }
        if (output) {
            json.Field("output", *output);
        } else {
            json.Key("output");
            report.Text("null");
        }
        if (const auto found = objects.find(index); found != objects.end()) {
            writeObjects(entry.name, found->second);
        }
        report.Char('}');
        ++index;
    };
    if (!KestruneEngine::VisitEntriesWithOutputNames(packagePath, begin, each, options.read)) {
        SayOpenFailed(packagePath, 0);
        return 1;
    }
    report.Text(index == 0 ? "]}\n" : "\n]}\n");
    report.Flush();
    return 0;
}

} // namespace Kestrune
