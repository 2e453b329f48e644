#pragma once

// Strict UTF-8, as both the names given to Windows and the JSON listing need
// it: no overlong forms, no surrogates, nothing past U+10FFFF.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace Kestrune {

// Decodes the character at `at` of `text` and moves `at` past it; nullopt,
// `at` unchanged, where no valid character starts.
std::optional<char32_t> DecodeUtf8(std::string_view text, std::size_t& at);

bool IsValidUtf8(std::string_view text);

// Appends the UTF-8 form of the character `code`.
void AppendUtf8(std::string& out, char32_t code);

// `text` with the letters A-Z lowered and every other byte as it is: how
// extensions, option values and the names a case-blind format stores as one
// are compared.
std::string AsciiLower(std::string_view text);

} // namespace Kestrune
