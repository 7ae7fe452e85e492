#include "platform/Utf8.h"

namespace platform::utf8 {

bool isValid(std::string_view bytes) {
    const auto byteAt = [&bytes](std::size_t index) { return static_cast<unsigned char>(bytes[index]); };
    std::size_t index = 0;
    while (index < bytes.size()) {
        const unsigned char lead = byteAt(index);
        if (lead < 0x80) {
            ++index;
            continue;
        }
        // The sequence's length and the range of its second byte, which rules out overlong
        // forms, surrogates and code points beyond U+10FFFF.
        std::size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (index + length > bytes.size() || byteAt(index + 1) < low || byteAt(index + 1) > high) {
            return false;
        }
        for (std::size_t next = 2; next < length; ++next) {
            if ((byteAt(index + next) & 0xC0) != 0x80) {
                return false;
            }
        }
        index += length;
    }
    return true;
}

}  // namespace platform::utf8
