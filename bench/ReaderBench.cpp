// In-process timings of the index readers over packages held in memory: the
// cost of turning an index into entries, without the file system.
//
//   build/bench/bench/kestrune_reader_bench

#include "ByteSource.h"
#include "Detect.h"
#include "PakFormat.h"

#include <benchmark/benchmark.h>
#include <cstdint>
#include <string>

namespace {

void AppendLittle(std::string& out, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

// A PAK index of `count` records with names like "sounds/level07/sfx_0012345.wav"
// and a footer; the data area is left out, as the reader never touches it.
std::string PakIndexOnly(std::uint64_t count) {
    std::string pak;
    AppendLittle(pak, count, 4);
    for (std::uint64_t i = 0; i < count; ++i) {
        std::string number = std::to_string(1000000 + i).substr(1);
        const std::string name = "sounds/level" + number.substr(0, 2) + "/sfx_" + number + ".wav";
        AppendLittle(pak, name.size(), 4);
        pak += name;
        AppendLittle(pak, i * 16, 8);
        AppendLittle(pak, 16, 8);
        AppendLittle(pak, 16, 8);
    }
    const std::uint64_t indexSize = pak.size();
    AppendLittle(pak, 0x5A6F12E1, 4);
    AppendLittle(pak, 8, 4);
    AppendLittle(pak, 0, 8);
    AppendLittle(pak, indexSize, 8);
    pak.append(20, '\xAB');
    return pak;
}

// A WAD header and a directory of `count` lumps named like map lumps.
std::string WadDirectoryOnly(std::uint64_t count) {
    std::string wad = "PWAD";
    AppendLittle(wad, count, 4);
    AppendLittle(wad, 12, 4);
    for (std::uint64_t i = 0; i < count; ++i) {
        AppendLittle(wad, 12, 4);
        AppendLittle(wad, 0, 4);
        wad += i % 2 == 0 ? std::string("THINGS\0\0", 8) : std::string("LINEDEFS", 8);
    }
    return wad;
}

void PakReadIndex(benchmark::State& state) {
    const auto count = static_cast<std::uint64_t>(state.range(0));
    const std::string pak = PakIndexOnly(count);
    for (auto _ : state) {
        Kestrune::MemorySource source(pak);
        benchmark::DoNotOptimize(Kestrune::ReadEntries(source));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(PakReadIndex)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

// The streamed listing's pass: every record visited, none held.
void PakVisitIndex(benchmark::State& state) {
    const auto count = static_cast<std::uint64_t>(state.range(0));
    const std::string pak = PakIndexOnly(count);
    for (auto _ : state) {
        Kestrune::MemorySource source(pak);
        std::uint64_t bytes = 0;
        Kestrune::Pak::VisitIndex(source,
                                  [&](const Kestrune::EntryView& entry) { bytes += entry.size; });
        benchmark::DoNotOptimize(bytes);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(PakVisitIndex)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

void WadReadDirectory(benchmark::State& state) {
    const auto count = static_cast<std::uint64_t>(state.range(0));
    const std::string wad = WadDirectoryOnly(count);
    for (auto _ : state) {
        Kestrune::MemorySource source(wad);
        benchmark::DoNotOptimize(Kestrune::ReadEntries(source));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(WadReadDirectory)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
