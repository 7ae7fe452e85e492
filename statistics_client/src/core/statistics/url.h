#pragma once

#include <string>

namespace Statistics {

// The three pieces of a statistics address that the HTTP transport needs. A strict,
// character-based splitter: no ports, user information, queries or escapes.
struct Url {
    std::string protocol; // text before the first ':' or '/'
    std::string host;     // after that separator and the two characters following it, up to '/'
    std::string path;     // from that '/' to the end

    // std::runtime_error for malformed text; std::out_of_range when no '/' follows the host.
    static Url parse(const std::string& text);
    static std::string parseProtocol(const std::string& text);
    static std::string afterScheme(const std::string& text);
    static std::string parseHost(const std::string& text);
    static std::string parsePath(const std::string& text);
};

} // namespace Statistics
