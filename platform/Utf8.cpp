#include "platform/Utf8.h"

#include <cctype>
#include <climits>

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

std::size_t offsetOfCharacter(std::string_view text, std::size_t index) {
    std::size_t at = 0;
    for (std::size_t seen = 0; at < text.size() && seen < index; ++seen) {
        ++at;
        while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) {
            ++at;
        }
    }
    return at;
}

std::string_view characters(std::string_view text, std::size_t first, std::size_t count) {
    const std::size_t begin = offsetOfCharacter(text, first);
    const std::string_view rest = text.substr(begin);
    return count == std::string_view::npos ? rest : rest.substr(0, offsetOfCharacter(rest, count));
}

std::string truncated(std::string_view text, std::size_t count) {
    const std::string_view head = characters(text, 0, count);
    return head.size() == text.size() ? std::string(text) : std::string(head) + "\u2026";
}

long long integerValue(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    long long value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        const int digit = text[at] - '0';
        if (value > (LLONG_MAX - digit) / 10) {
            return negative ? LLONG_MIN : LLONG_MAX;  // saturates, as the platform's scan does
        }
        value = value * 10 + digit;
    }
    return negative ? -value : value;
}

}  // namespace platform::utf8
