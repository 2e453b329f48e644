#include "Glob.h"

#include <algorithm>

namespace Kestrune {

Glob::Glob(std::string_view pattern) {
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (c == '?') {
            tokens_.push_back({Step::OneInComponent, 0});
        } else if (c != '*') {
            tokens_.push_back({Step::Byte, c});
        } else if (i + 1 < pattern.size() && pattern[i + 1] == '*') {
            const bool componentStart = i == 0 || pattern[i - 1] == '/';
            while (i + 1 < pattern.size() && pattern[i + 1] == '*') {
                ++i; // "***" is no different from "**"
            }
            if (componentStart && i + 1 < pattern.size() && pattern[i + 1] == '/') {
                ++i;
                tokens_.push_back({Step::LeadingDirs, 0});
            } else {
                tokens_.push_back({Step::RunAcross, 0});
            }
        } else {
            tokens_.push_back({Step::RunInComponent, 0});
        }
    }
}

bool Glob::Matches(std::string_view name) const {
    // live[i]: some way of matching the name so far stands before token i.
    // inside[i], for a `**/` token only: it stands within a component that
    // token is taking, which only a "/" ends.
    const std::size_t count = tokens_.size();
    std::vector<char> live(count + 1, 0), next(count + 1, 0);
    std::vector<char> inside(count, 0), nextInside(count, 0);
    // A run, or the leading directories, may also match nothing: whoever
    // stands before one stands after it too. Steps only go forward, so one
    // pass in order settles it.
    const auto close = [&](std::vector<char>& states) {
        for (std::size_t i = 0; i < count; ++i) {
            if (states[i] != 0 && tokens_[i].step != Step::Byte &&
                tokens_[i].step != Step::OneInComponent) {
                states[i + 1] = 1;
            }
        }
    };
    live[0] = 1;
    close(live);
    for (const char c : name) {
        std::fill(next.begin(), next.end(), 0);
        std::fill(nextInside.begin(), nextInside.end(), 0);
        for (std::size_t i = 0; i < count; ++i) {
            if (inside[i] != 0) {
                (c == '/' ? next : nextInside)[i] = 1;
            }
            if (live[i] == 0) {
                continue;
            }
            switch (tokens_[i].step) {
            case Step::Byte:
                if (c == tokens_[i].byte) {
                    next[i + 1] = 1;
                }
                break;
            case Step::OneInComponent:
                if (c != '/') {
                    next[i + 1] = 1;
                }
                break;
            case Step::RunInComponent:
                if (c != '/') {
                    next[i] = 1;
                }
                break;
            case Step::RunAcross:
                next[i] = 1;
                break;
            case Step::LeadingDirs:
                (c == '/' ? next : nextInside)[i] = 1;
                break;
            }
        }
        close(next);
        if (std::find(next.begin(), next.end(), 1) == next.end() &&
            std::find(nextInside.begin(), nextInside.end(), 1) == nextInside.end()) {
            return false; // no way left: the rest of the name cannot change that
        }
        live.swap(next);
        inside.swap(nextInside);
    }
    return live[count] != 0;
}

} // namespace Kestrune
