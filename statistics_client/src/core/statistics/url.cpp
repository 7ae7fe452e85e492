#include "core/statistics/url.h"

#include <stdexcept>

namespace Statistics {

namespace {
// Either character of "://" ends the scheme; this is not a search for the whole sequence.
constexpr const char* schemeSeparators = "://";
constexpr std::size_t separatorLength = 3;
} // namespace

Url Url::parse(const std::string& text)
{
    Url url;
    if (text.empty())
        throw std::runtime_error("Failed to parse url - given string is empty.");
    url.protocol = parseProtocol(text);
    url.host = parseHost(text);
    url.path = parsePath(text);
    return url;
}

std::string Url::parseProtocol(const std::string& text)
{
    const std::size_t separator = text.find_first_of(schemeSeparators);
    if (separator == std::string::npos)
        throw std::runtime_error("Failed to parse protocol from the given string.");
    return text.substr(0, separator);
}

std::string Url::afterScheme(const std::string& text)
{
    const std::size_t separator = text.find_first_of(schemeSeparators);
    if (separator == std::string::npos)
        throw std::runtime_error("Failed to parse url from the given string.");
    if (separator + separatorLength > text.length())
        throw std::runtime_error(
            "Failed to parse url. The given string does not contain url or is not well-formed");
    return text.substr(separator + separatorLength);
}

std::string Url::parseHost(const std::string& text)
{
    const std::string rest = afterScheme(text);
    return rest.substr(0, rest.find('/'));
}

std::string Url::parsePath(const std::string& text)
{
    const std::string rest = afterScheme(text);
    // No '/' means no path: substr of npos throws std::out_of_range.
    return rest.substr(rest.find('/'));
}

} // namespace Statistics
