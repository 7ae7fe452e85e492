#pragma once

#include <optional>
#include <string>

namespace platform {

// An error object: a domain, a code and the user-facing texts that an alert shows.
class Error {
public:
    struct Info {
        std::optional<std::string> localizedDescription;
        std::optional<std::string> localizedFailureReason;
        std::optional<std::string> localizedRecoverySuggestion;
        std::optional<std::string> underlyingError;  // text kept under the underlying-error key
    };

    Error(std::string domain, long code, Info info = {});

    // An error of the POSIX domain for an errno value, with strerror's text as its description.
    static Error posix(int errnum, std::optional<std::string> failureReason = std::nullopt);

    const std::string& domain() const { return _domain; }
    long code() const { return _code; }
    const Info& info() const { return _info; }

    // The description, or the platform's generic sentence naming domain and code when none was given.
    std::string localizedDescription() const;
    const std::optional<std::string>& localizedFailureReason() const { return _info.localizedFailureReason; }
    const std::optional<std::string>& localizedRecoverySuggestion() const { return _info.localizedRecoverySuggestion; }
    const std::optional<std::string>& underlyingError() const { return _info.underlyingError; }

    // "Error Domain=<domain> Code=<code> "<description>" UserInfo={...}", as the platform prints errors.
    std::string description() const;

private:
    std::string _domain;
    long _code;
    Info _info;
};

}  // namespace platform
