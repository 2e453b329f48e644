#include "Commands.h"
#include "Console.h"
#include "KestruneEngine.h"
#include "PackageMessages.h"
#include "Platform.h"

#include <string>
#include <vector>

namespace Kestrune {
namespace {

bool Writes(FolderCommand command) {
    return command == FolderCommand::Extract || command == FolderCommand::Export;
}

// With -v, what the folder holds that is read as no package of its own.
void SayPassedOver(const std::string& folder, const FolderListing& listing) {
    for (const std::string& relative : listing.companions) {
        Console::Err("Skipped " + FolderFilePath(folder, relative) +
                     ": read with the package it belongs to\n");
    }
    for (const std::string& relative : listing.passedOver) {
        Console::Err("Skipped " + FolderFilePath(folder, relative) +
                     ": a link, or the output directory, is never entered\n");
    }
}

// --cat of a folder: the entry is named by its package's path in the
// folder, then the entry's own name.
int CatFromFolder(const std::string& folder, const FolderListing& listing, const std::string& entry,
                  const RunOptions& options) {
    for (const std::string& relative : listing.files) {
        if (entry.size() > relative.size() + 1 && entry.starts_with(relative) &&
            entry[relative.size()] == '/') {
            return RunCatCommand(FolderFilePath(folder, relative),
                                 entry.substr(relative.size() + 1), options);
        }
    }
    Console::Err("No entry named " + entry + " in " + folder + "\n");
    return 1;
}

// True when DIR is the folder itself or holds it: a package's files could
// then land on the folder's own files, which no output may replace.
bool HoldsFolder(const std::string& outDir, const std::string& folder) {
    const auto dir = Platform::ResolvedPath(outDir);
    const auto read = Platform::ResolvedPath(folder);
    if (!dir || !read) {
        return false; // DIR does not exist yet
    }
    const std::string prefix = dir->ends_with('/') ? *dir : *dir + "/";
    return *read == *dir || read->starts_with(prefix);
}

} // namespace

bool IsPackageFolder(const std::string& path) {
    return Platform::IsDirectory(path);
}

int RunFolderCommand(FolderCommand command, const std::string& folder, const std::string& argument,
                     const RunOptions& options) {
    if (Writes(command) && HoldsFolder(argument, folder)) {
        Console::Err("Cannot write into " + argument + ": it holds " + folder +
                     ", whose files no output may replace\n");
        Console::Err(command == FolderCommand::Extract ? "Extraction failed.\n"
                                                       : "Export failed.\n");
        return 1;
    }
    const FolderListing listing =
        KestruneEngine::ListFolder(folder, Writes(command) ? argument : std::string());
    if (!listing.opened) {
        SayOpenFailed(folder, listing.error);
        return 1;
    }
    if (options.verbose) {
        SayPassedOver(folder, listing);
    }
    if (command == FolderCommand::Cat) {
        return CatFromFolder(folder, listing, argument, options);
    }
    FolderRunNames run;
    std::vector<std::string> failed;
    std::size_t packages = 0;
    bool unconvertible = false; // --export passed a package over
    bool jsonBegun = false;
    bool jsonWritten = false;
    for (const std::string& relative : listing.files) {
        const std::string path = FolderFilePath(folder, relative);
        // A file that opens and holds no package at all is none of the
        // folder's packages: nothing to say of it. One that does not open,
        // or is a package refused, is a failure the command names.
        const PackageSummary summary =
            KestruneEngine::Examine(path, WithoutSelection(options.read));
        if (summary.opened && summary.walk.refusal.empty() && !summary.walk.found()) {
            if (options.verbose) {
                Console::Err("Skipped " + path + ": not a package\n");
            }
            continue;
        }
        // A folder's export converts what its converters know; a package
        // of another kind in the folder (a ZIP beside a game's data) is
        // not the user's mistake, as naming it alone would be.
        if (command == FolderCommand::Export && summary.opened && summary.walk.refusal.empty()) {
            const PackageFormat* format = FormatOf(summary.walk.kind);
            if (format == nullptr || format->exporter == nullptr) {
                if (options.verbose) {
                    Console::Err("Skipped " + path +
                                 ": --export has no converters for this kind of package\n");
                }
                unconvertible = true;
                continue;
            }
        }
        ++packages;
        const FolderPlace place{relative, &run};
        int code = 1;
        switch (command) {
        case FolderCommand::List:
            code = RunListCommand(path, options);
            break;
        case FolderCommand::ListJson:
            if (!jsonBegun) {
                BeginFolderJson(folder);
                jsonBegun = true;
            }
            code = RunListJsonCommand(path, options, jsonWritten ? "," : "", &jsonWritten);
            break;
        case FolderCommand::Test:
            code = RunTestCommand(path, options);
            break;
        case FolderCommand::Extract:
            code = RunExtractCommand(path, argument, options, &place);
            break;
        case FolderCommand::Export:
            code = RunExportCommand(path, argument, options, &place);
            break;
        case FolderCommand::Cat:
            break;
        }
        if (code != 0) {
            failed.push_back(path);
        }
    }
    if (jsonBegun) {
        EndFolderJson();
    }
    if (packages == 0) {
        Console::Err(unconvertible ? "No package in " + folder + " has converters for --export\n"
                                   : "No package in " + folder + "\n");
        return 1;
    }
    if (failed.empty()) {
        return 0;
    }
    for (const std::string& path : failed) {
        Console::Err("Failed package: " + path + "\n");
    }
    Console::Err(std::to_string(failed.size()) + " of " + std::to_string(packages) +
                 " packages failed\n");
    return 1;
}

} // namespace Kestrune
