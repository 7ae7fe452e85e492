#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform::utf8 {

// Whether the bytes are well-formed UTF-8 as the platform decodes text: no overlong forms, no
// surrogates (U+D800..U+DFFF), nothing above U+10FFFF and no cut-off sequence.
bool isValid(std::string_view bytes);

// The byte offset at which the character with the given index begins in valid UTF-8 text
// (the text's size when it has fewer characters).
std::size_t offsetOfCharacter(std::string_view text, std::size_t index);

// The text from character `first` on, at most `count` characters (all when count is npos).
std::string_view characters(std::string_view text, std::size_t first, std::size_t count = std::string_view::npos);

// The text when it has at most `count` characters, else its first `count` characters followed by
// an ellipsis ("\u2026"). Looks at no more of the text than that.
std::string truncated(std::string_view text, std::size_t count);

// The platform's integer scan: leading white space skipped, an optional sign, then decimal
// digits up to the first other character; 0 when there is no digit.
long long integerValue(std::string_view text);

}  // namespace platform::utf8
