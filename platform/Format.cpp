#include "platform/Format.h"

#include <charconv>
#include <cstdio>
#include <cmath>
#include <cstdint>

namespace platform {

long long FormatArg::asSigned() const {
    switch (_kind) {
        case Kind::Signed: return _signed;
        case Kind::Unsigned: return static_cast<long long>(_unsigned);
        case Kind::Floating: return static_cast<long long>(_floating);
        default: return 0;
    }
}

unsigned long long FormatArg::asUnsigned() const {
    switch (_kind) {
        case Kind::Signed: return static_cast<unsigned long long>(_signed);
        case Kind::Unsigned: return _unsigned;
        case Kind::Floating: return static_cast<unsigned long long>(_floating);
        default: return 0;
    }
}

double FormatArg::asDouble() const {
    switch (_kind) {
        case Kind::Signed: return static_cast<double>(_signed);
        case Kind::Unsigned: return static_cast<double>(_unsigned);
        case Kind::Floating: return _floating;
        default: return 0;
    }
}

std::string FormatArg::description() const {
    switch (_kind) {
        case Kind::Signed: return std::to_string(_signed);
        case Kind::Unsigned: return std::to_string(_unsigned);
        case Kind::Floating: {
            // Numbers describe themselves in their shortest exact form, as the platform's numbers do.
            if (std::isfinite(_floating) && _floating == std::trunc(_floating) && std::fabs(_floating) < 1e15) {
                return std::to_string(static_cast<long long>(_floating));
            }
            char buffer[64];
            const auto result = std::to_chars(buffer, buffer + sizeof buffer, _floating);
            return std::string(buffer, result.ptr);
        }
        case Kind::Text:
        case Kind::Object: return _text;
    }
    return _text;
}

std::string FormatArg::joinListDescription(const std::vector<std::string>& parts) {
    std::string text = "(";
    for (std::size_t i = 0; i < parts.size(); ++i) {
        text += "\n    " + parts[i];
        if (i + 1 < parts.size()) {
            text += ",";
        }
    }
    text += "\n)";
    return text;
}

namespace {

// Renders one printf conversion with the C library, so widths, precision and flags behave as printf.
template <typename Value>
void appendPrintf(std::string& out, const std::string& spec, Value value) {
    char small[128];
    const int needed = std::snprintf(small, sizeof small, spec.c_str(), value);
    if (needed < 0) {
        return;
    }
    if (static_cast<std::size_t>(needed) < sizeof small) {
        out.append(small, static_cast<std::size_t>(needed));
        return;
    }
    std::string large(static_cast<std::size_t>(needed) + 1, '\0');
    std::snprintf(large.data(), large.size(), spec.c_str(), value);
    out.append(large.data(), static_cast<std::size_t>(needed));
}

bool isFlag(char c) { return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0' || c == '\''; }
bool isLength(char c) { return c == 'h' || c == 'l' || c == 'q' || c == 'L' || c == 'z' || c == 't' || c == 'j'; }

// The arguments of one format, taken in order; past the last one there is none.
class Arguments {
public:
    explicit Arguments(std::span<const FormatArg> args) : _args(args) {}
    const FormatArg* take() { return _next < _args.size() ? &_args[_next++] : nullptr; }

private:
    std::span<const FormatArg> _args;
    std::size_t _next = 0;
};

// One conversion as written after its "%": the printf text of its flags, width and precision,
// whether a long length modifier came with it, and its letter, unless the format ended first.
struct Conversion {
    std::string spec = "%";
    bool longModifier = false;
    bool complete = false;
    char letter = '\0';
};

// Appends the width or precision at `at` to the conversion text; "*" takes its value from the arguments.
void readNumberOrStar(std::string_view format, std::size_t& at, Arguments& arguments, std::string& spec) {
    if (at < format.size() && format[at] == '*') {
        const FormatArg* arg = arguments.take();
        spec += std::to_string(arg != nullptr ? arg->asSigned() : 0);
        ++at;
        return;
    }
    while (at < format.size() && format[at] >= '0' && format[at] <= '9') {
        spec.push_back(format[at++]);
    }
}

// Reads the conversion that starts at `at`, just after its "%", and moves `at` past it.
Conversion readConversion(std::string_view format, std::size_t& at, Arguments& arguments) {
    Conversion conversion;
    for (; at < format.size() && isFlag(format[at]); ++at) {
        if (format[at] != '\'') {
            conversion.spec.push_back(format[at]);
        }
    }
    readNumberOrStar(format, at, arguments, conversion.spec);
    if (at < format.size() && format[at] == '.') {
        conversion.spec.push_back('.');
        ++at;
        readNumberOrStar(format, at, arguments, conversion.spec);
    }
    // The argument knows its own width; only "%d" without a long modifier narrows it, as C reads
    // an int there.
    for (; at < format.size() && isLength(format[at]); ++at) {
        conversion.longModifier = conversion.longModifier || (format[at] != 'h' && format[at] != 'L');
    }
    if (at < format.size()) {
        conversion.complete = true;
        conversion.letter = format[at++];
    }
    return conversion;
}

// The text "%s" inserts for an argument.
std::string textOf(const FormatArg* arg) {
    if (arg == nullptr) {
        return "(null)";
    }
    return arg->kind() == FormatArg::Kind::Text ? arg->text() : arg->description();
}

// Appends what the conversion inserts; false when its letter is no conversion.
bool appendConversion(std::string& out, const Conversion& conversion, Arguments& arguments) {
    const std::string& spec = conversion.spec;
    const char letter = conversion.letter;
    switch (letter) {
        case '%': out.push_back('%'); return true;
        case '@': {
            const FormatArg* arg = arguments.take();
            out += arg != nullptr ? arg->description() : "(null)";
            return true;
        }
        case 'd': case 'i': {
            const FormatArg* arg = arguments.take();
            const long long value = arg != nullptr ? arg->asSigned() : 0LL;
            appendPrintf(out, spec + "lld",
                         conversion.longModifier ? value : static_cast<long long>(static_cast<std::int32_t>(value)));
            return true;
        }
        case 'u': case 'x': case 'X': case 'o': {
            const FormatArg* arg = arguments.take();
            appendPrintf(out, spec + "ll" + letter, arg != nullptr ? arg->asUnsigned() : 0ULL);
            return true;
        }
        case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A': {
            const FormatArg* arg = arguments.take();
            appendPrintf(out, spec + letter, arg != nullptr ? arg->asDouble() : 0.0);
            return true;
        }
        case 'c': {
            const FormatArg* arg = arguments.take();
            appendPrintf(out, spec + 'c', static_cast<int>(arg != nullptr ? arg->asSigned() : 0));
            return true;
        }
        case 's': {
            const std::string text = textOf(arguments.take());
            if (spec == "%") {
                out += text;  // keeps embedded NUL bytes
            } else {
                appendPrintf(out, spec + 's', text.c_str());
            }
            return true;
        }
        case 'p': {
            const FormatArg* arg = arguments.take();
            out += "0x";
            appendPrintf(out, spec + "llx", arg != nullptr ? arg->asUnsigned() : 0ULL);
            return true;
        }
        default: return false;
    }
}

}  // namespace

std::string formatArgs(std::string_view format, std::span<const FormatArg> args) {
    std::string out;
    out.reserve(format.size() + 16 * args.size());
    Arguments arguments(args);
    std::size_t at = 0;
    while (at < format.size()) {
        if (format[at] != '%') {
            out.push_back(format[at++]);
            continue;
        }
        const std::size_t start = at++;
        if (at >= format.size()) {
            out.push_back('%');
            break;
        }
        const Conversion conversion = readConversion(format, at, arguments);
        if (!conversion.complete) {
            out.append(format.substr(start));
            break;
        }
        if (!appendConversion(out, conversion, arguments)) {
            // Not a conversion: keep the text as written.
            out.append(format.substr(start, at - start));
        }
    }
    return out;
}

}  // namespace platform
