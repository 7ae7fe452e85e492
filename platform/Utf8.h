#pragma once

#include <string_view>

namespace platform::utf8 {

// Whether the bytes are well-formed UTF-8 as the platform decodes text: no overlong forms, no
// surrogates (U+D800..U+DFFF), nothing above U+10FFFF and no cut-off sequence.
bool isValid(std::string_view bytes);

}  // namespace platform::utf8
