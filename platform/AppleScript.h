#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace platform {

// The administrator shell. Understands the one form of script the installer runs:
//   do shell script "<text>" [with administrator privileges]
// where <text> is a string literal with the escapes \" \\ \n \r \t. The text runs with
// "/bin/sh -c"; with administrator privileges it runs as root: directly when the installer is
// root already, otherwise through "pkexec" (found on PATH), which asks for the password.
//
// The shell runs in a session of its own under a waiting process (Process::setSessionOfItsOwn):
// no signal of the installer's terminal reaches it, and it goes on when the installer ends.
//
// executeAndReturnError() blocks its caller until the shell has ended; call it on a worker. The
// object owns nothing but its source and the name of its held file.
class AppleScript {
public:
    // Numbers of the error information, as the platform gives them.
    static constexpr long userCanceled = -128;  // the password prompt was dismissed
    static constexpr long syntaxError = -2741;  // the source is not a script of the known form

    struct ErrorInfo {
        std::optional<long> number;          // a step's exit status, userCanceled, syntaxError
        std::optional<std::string> message;  // the failing step's standard error
        // Characters [first, second) of the source that could not be read.
        std::optional<std::pair<std::size_t, std::size_t>> range;
    };

    explicit AppleScript(std::string source) : _source(std::move(source)) {}
    const std::string& source() const { return _source; }
    // A file on which the shell's waiting process holds a write lock while the shell runs
    // (F_OFD_GETLK sees it; the shell and its descendants do not hold it). None by default.
    void setHeldFile(std::string path) { _heldFile = std::move(path); }

    // The shell's standard output without its last line feed; nullopt on failure, with `error` filled.
    std::optional<std::string> executeAndReturnError(ErrorInfo& error) const;

    // The text as the inside of a string literal: backslash and double quote get a backslash,
    // line feed, carriage return and tab become \n, \r and \t. Reading the literal gives the text back.
    static std::string escapeString(std::string_view text);

    // Tests: true runs privileged scripts through pkexec even as root; nullopt decides by the user id.
    static void setElevationForced(std::optional<bool> forced);

private:
    std::string _source;
    std::string _heldFile;
};

}  // namespace platform
