#include "platform/AppleScript.h"

#include "platform/Format.h"
#include "platform/Process.h"

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace platform {

namespace {

std::atomic<int> elevationForced{-1};  // -1: by the user id

struct Parsed {
    std::string text;
    bool privileged = false;
};

// Reads the one known form; on failure fills the syntax error with the range of what was not read.
class Parser {
public:
    explicit Parser(std::string_view source) : _source(source) {}

    std::optional<Parsed> parse(AppleScript::ErrorInfo& error) {
        Parsed parsed;
        skipBlanks();
        if (!word("do", error) || !blanks(error) || !word("shell", error) || !blanks(error) || !word("script", error)) {
            return std::nullopt;
        }
        skipBlanks();
        if (!literal(parsed.text, error)) {
            return std::nullopt;
        }
        skipBlanks();
        if (_at < _source.size()) {
            if (!word("with", error) || !blanks(error) || !word("administrator", error) || !blanks(error) ||
                !word("privileges", error)) {
                return std::nullopt;
            }
            parsed.privileged = true;
            skipBlanks();
        }
        if (_at < _source.size()) {
            return fail("Expected end of line but found more text.", error);
        }
        return parsed;
    }

private:
    static bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
    void skipBlanks() {
        while (_at < _source.size() && isBlank(_source[_at])) {
            ++_at;
        }
    }
    bool blanks(AppleScript::ErrorInfo& error) {
        if (_at >= _source.size() || !isBlank(_source[_at])) {
            return fail("Expected a blank.", error).has_value();
        }
        skipBlanks();
        return true;
    }
    bool word(std::string_view expected, AppleScript::ErrorInfo& error) {
        if (_source.substr(_at, expected.size()) != expected) {
            return fail(format("Expected \"%@\".", expected), error).has_value();
        }
        _at += expected.size();
        return true;
    }
    bool literal(std::string& text, AppleScript::ErrorInfo& error) {
        if (_at >= _source.size() || _source[_at] != '"') {
            return fail("Expected string.", error).has_value();
        }
        for (++_at; _at < _source.size(); ++_at) {
            const char c = _source[_at];
            if (c == '"') {
                ++_at;
                return true;
            }
            if (c != '\\') {
                text += c;
                continue;
            }
            if (++_at >= _source.size()) {
                break;
            }
            switch (_source[_at]) {
                case '"': text += '"'; break;
                case '\\': text += '\\'; break;
                case 'n': text += '\n'; break;
                case 'r': text += '\r'; break;
                case 't': text += '\t'; break;
                default:
                    --_at;
                    return fail("Unknown escape in string.", error).has_value();
            }
        }
        return fail("Expected \"\"\" but found end of script.", error).has_value();
    }
    std::optional<Parsed> fail(const std::string& message, AppleScript::ErrorInfo& error) {
        error.number = AppleScript::syntaxError;
        error.message = message;
        const std::size_t first = std::min(_at, _source.size());
        error.range = std::make_pair(first, _source.size());
        return std::nullopt;
    }

    std::string_view _source;
    std::size_t _at = 0;
};

bool runsAsRoot() {
    const int forced = elevationForced.load();
    return forced < 0 ? ::geteuid() == 0 : forced == 0;
}

std::optional<std::string> findOnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return std::nullopt;
}

std::string randomToken() {
    std::random_device device;
    std::string token = "status-";
    for (int index = 0; index < 4; ++index) {
        token += format("%08x", static_cast<unsigned>(device()));
    }
    return token;
}

std::string withoutTrailingLineEnds(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

// The environment for pkexec: ours without SHELL, which pkexec refuses unless /etc/shells lists it.
std::vector<std::string> elevationEnvironment() {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::string_view(*entry).substr(0, 6) != "SHELL=") {
            environment.emplace_back(*entry);
        }
    }
    return environment;
}

struct ShellEnd {
    std::optional<int> status;  // the shell's exit status; nullopt when pkexec ended on its own
    int elevationStatus = 0;    // pkexec's exit status when it did
    Process::Output output;
};

ShellEnd runDirectly(const std::string& text, const std::string& heldFile) {
    auto process = Process::create();
    process->setSessionOfItsOwn(heldFile);
    process->setLaunchPath("/bin/sh");
    process->setArguments({"-c", text});
    ShellEnd end;
    end.output = process->launchAndReadToEnd(true);
    end.status = process->terminationStatus();
    return end;
}

// pkexec answers 126 and 127 itself (prompt dismissed, not authorised) and closes every other
// descriptor, so the shell's own status comes back in its output as a line with a token of this
// run, which a step's own output cannot forge. The line is written in one piece, but a child
// left running in the background may write after it: the last such line counts wherever it
// stands, and it is taken out of the output.
ShellEnd runElevated(const std::string& pkexec, const std::string& text, const std::string& heldFile) {
    const std::string token = randomToken();
    auto process = Process::create();
    // pkexec runs the shell in its own place: the waiter's child becomes the root shell.
    process->setSessionOfItsOwn(heldFile);
    process->setLaunchPath(pkexec);
    process->setArguments({"/bin/sh", "-c", "/bin/sh -c \"$1\"; printf '\\n%s:%d\\n' \"$2\" \"$?\"", "sh", text, token});
    process->setEnvironment(elevationEnvironment());
    ShellEnd end;
    end.output = process->launchAndReadToEnd(true);
    end.elevationStatus = process->terminationStatus();
    std::string& output = end.output.standardOutput;
    const std::string marker = "\n" + token + ":";
    const std::size_t at = output.rfind(marker);
    const std::size_t lineEnd = at == std::string::npos ? at : output.find('\n', at + marker.size());
    if (lineEnd == std::string::npos) {
        return end;
    }
    const std::string digits = output.substr(at + marker.size(), lineEnd - at - marker.size());
    if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos) {
        return end;
    }
    end.status = std::atoi(digits.c_str());
    output.erase(at, lineEnd + 1 - at);
    return end;
}

}  // namespace

std::string AppleScript::escapeString(std::string_view text) {
    std::string escaped;
    for (const char c : text) {
        switch (c) {
            case '\\': escaped += "\\\\"; break;
            case '"': escaped += "\\\""; break;
            case '\n': escaped += "\\n"; break;
            case '\r': escaped += "\\r"; break;
            case '\t': escaped += "\\t"; break;
            default: escaped += c;
        }
    }
    return escaped;
}

void AppleScript::setElevationForced(std::optional<bool> forced) {
    elevationForced = forced ? (*forced ? 1 : 0) : -1;
}

std::optional<std::string> AppleScript::executeAndReturnError(ErrorInfo& error) const {
    error = {};
    const auto parsed = Parser(_source).parse(error);
    if (!parsed) {
        return std::nullopt;
    }
    ShellEnd end;
    try {
        if (!parsed->privileged || runsAsRoot()) {
            end = runDirectly(parsed->text, _heldFile);
        } else if (const auto pkexec = findOnPath("pkexec")) {
            end = runElevated(*pkexec, parsed->text, _heldFile);
        } else {
            error.message = "Cannot ask for administrator rights: pkexec was not found";
            return std::nullopt;
        }
    } catch (const std::exception& exception) {
        error.message = format("Cannot run the shell: %@", Exception::from(exception).reason());
        return std::nullopt;
    }
    if (!end.status) {
        if (end.elevationStatus == 126) {
            error.number = userCanceled;
            error.message = "User canceled.";
        } else {
            error.message = format("Not authorized to run with administrator rights (pkexec exit status %d): %@",
                                   end.elevationStatus, withoutTrailingLineEnds(end.output.standardError));
        }
        return std::nullopt;
    }
    if (*end.status != 0) {
        error.number = *end.status;
        std::string message = withoutTrailingLineEnds(end.output.standardError);
        if (!message.empty()) {
            error.message = std::move(message);
        }
        return std::nullopt;
    }
    std::string output = std::move(end.output.standardOutput);
    if (!output.empty() && output.back() == '\n') {
        output.pop_back();
    }
    return output;
}

}  // namespace platform
