#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace Kestrune {

// A name pattern of --include and --exclude, matched against an entry's
// stored name: `?` is one byte and `*` any run of bytes within one path
// component (neither matches "/"), `**` any run across components, and a
// `**/` that begins a component also matches no component at all ("**/x"
// matches "x" and "a/b/x"). Every other byte stands for itself; letter case
// counts.
//
// Matching follows every way the pattern could go at once, one name byte at
// a time, so it costs at most the name's length times the pattern's, whatever
// the pattern: no pattern makes it back up and try again.
class Glob {
public:
    explicit Glob(std::string_view pattern);

    bool Matches(std::string_view name) const;

private:
    enum class Step : std::uint8_t {
        Byte,           // the byte `byte`
        OneInComponent, // ?
        RunInComponent, // *
        RunAcross,      // **
        LeadingDirs,    // **/ at a component's start: nothing, or anything ending in "/"
    };
    struct Token {
        Step step;
        char byte;
    };

    std::vector<Token> tokens_;
};

} // namespace Kestrune
