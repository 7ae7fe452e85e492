#include "ShellText.h"

namespace ShellText {

std::string doubleQuoted(std::string_view value) {
    std::string quoted = "\"";
    for (const char c : value) {
        if (c == '\\' || c == '"' || c == '$' || c == '`') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "\"";
}

std::string word(std::string_view value) {
    const bool plain = !value.empty() && value.find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                                                                 "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                                 "0123456789_-+=.,/:@%") == std::string_view::npos;
    return plain ? std::string(value) : doubleQuoted(value);
}

std::string storedArgument(std::string_view stored) {
    if (stored.size() >= 2 && stored.front() == '"' && stored.back() == '"') {
        return doubleQuoted(stored.substr(1, stored.size() - 2));
    }
    if (!stored.empty() && stored.front() == '-') {
        return word(stored);
    }
    return doubleQuoted(stored);
}

}  // namespace ShellText
