#include "PackageMessages.h"

#include "Console.h"
#include "Formats.h"
#include "Platform.h"

#include <string_view>

namespace Kestrune {
ReadOptions WithoutSelection(const ReadOptions& options) {
    ReadOptions all = options;
    all.select = {};
    return all;
}

void SayOpenFailed(const std::string& packagePath, int error) {
    Console::Err("Failed to open package: " + packagePath +
                 (error != 0 ? " (" + Platform::ErrorText(error) + ")" : std::string()) + "\n");
}

void SayRefused(const std::string& packagePath, const DirectoryWalk& walk) {
    Console::Err("Failed to open package: " + packagePath + " (" + walk.refusal + ")\n");
}

void SayNotAPackage(const std::string& packagePath) {
    Console::Err("Not a package: " + packagePath +
                 " (no PAK footer, WAD header, VPK tree or PACK directory)\n");
    std::string_view fileName = packagePath;
#ifdef _WIN32
    const std::size_t slash = fileName.find_last_of("/\\:");
#else
    const std::size_t slash = fileName.find_last_of('/');
#endif
    if (slash != std::string_view::npos) {
        fileName.remove_prefix(slash + 1);
    }
    if (const std::string directory = PackageOfCompanion(fileName); !directory.empty()) {
        Console::Err(std::string(fileName) + " is a part of " + directory +
                     ": give the directory file\n");
    }
}

void SayNotes(const DirectoryWalk& walk) {
    for (const std::string& note : walk.notes) {
        Console::Err(note + "\n");
    }
}

bool ExaminePackage(const std::string& packagePath, const ReadOptions& options,
                    PackageSummary& summary) {
    summary = KestruneEngine::Examine(packagePath, WithoutSelection(options));
    if (!summary.opened) {
        SayOpenFailed(packagePath, summary.openError);
        return false;
    }
    if (!summary.walk.refusal.empty()) {
        SayRefused(packagePath, summary.walk);
        return false;
    }
    SayNotes(summary.walk);
    return true;
}

bool ReadyToWrite(const std::string& packagePath, const ReadOptions& options,
                  std::string_view failedLine, PackageSummary& summary) {
    summary = KestruneEngine::Examine(packagePath, WithoutSelection(options));
    if (!summary.opened) {
        return true;
    }
    if (!summary.walk.refusal.empty()) {
        SayRefused(packagePath, summary.walk);
        Console::Err(std::string(failedLine) + "\n");
        return false;
    }
    SayNotes(summary.walk);
    if (!summary.walk.found()) {
        SayNotAPackage(packagePath);
        Console::Err(std::string(failedLine) + "\n");
        return false;
    }
    return true;
}

void SayNothingWritten(const ExtractionReport& report, const std::string& packagePath,
                       const std::string& outDir, const PackageSummary& summary) {
    if (!report.directoryReady) {
        Console::Err("Failed to create directory: " + outDir + " (" +
                     Platform::ErrorText(report.directoryError) + ")\n");
    } else if (!report.packageOpened) {
        SayOpenFailed(packagePath, summary.opened ? 0 : summary.openError);
    }
}

WrittenCallback KeepWrittenLines(bool verbose, const std::string& outDir,
                                 std::vector<std::string>& lines) {
    if (!verbose) {
        return {};
    }
    return [&lines, outDir](const WrittenFile& file) {
        lines.push_back(std::string(file.entryName) + " -> " + outDir + "/" +
                        std::string(file.path) + "\n");
    };
}

std::string WrittenSummary(const ExtractionReport& report) {
    return std::to_string(report.entriesWritten) + " files, " +
           std::to_string(report.bytesWritten) + " bytes, " +
           std::to_string(report.failures.size()) + " failed";
}

} // namespace Kestrune
