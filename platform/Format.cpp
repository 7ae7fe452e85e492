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

}  // namespace

std::string formatArgs(std::string_view format, std::span<const FormatArg> args) {
    std::string out;
    out.reserve(format.size() + 16 * args.size());
    std::size_t next = 0;
    auto takeArg = [&]() -> const FormatArg* { return next < args.size() ? &args[next++] : nullptr; };

    std::size_t i = 0;
    while (i < format.size()) {
        const char c = format[i];
        if (c != '%') {
            out.push_back(c);
            ++i;
            continue;
        }
        const std::size_t start = i++;
        if (i >= format.size()) {
            out.push_back('%');
            break;
        }
        // Collect flags, width and precision; "*" takes its value from the arguments.
        std::string spec = "%";
        while (i < format.size() && isFlag(format[i])) {
            if (format[i] != '\'') {
                spec.push_back(format[i]);
            }
            ++i;
        }
        auto readNumberOrStar = [&] {
            if (i < format.size() && format[i] == '*') {
                const FormatArg* arg = takeArg();
                spec += std::to_string(arg != nullptr ? arg->asSigned() : 0);
                ++i;
                return;
            }
            while (i < format.size() && format[i] >= '0' && format[i] <= '9') {
                spec.push_back(format[i++]);
            }
        };
        readNumberOrStar();
        if (i < format.size() && format[i] == '.') {
            spec.push_back('.');
            ++i;
            readNumberOrStar();
        }
        // The argument knows its own width; only "%d" without a long modifier narrows it, as C
        // reads an int there.
        bool longModifier = false;
        while (i < format.size() && isLength(format[i])) {
            longModifier = longModifier || (format[i] != 'h' && format[i] != 'L');
            ++i;
        }
        if (i >= format.size()) {
            out.append(format.substr(start));
            break;
        }
        const char conversion = format[i++];
        switch (conversion) {
            case '%': out.push_back('%'); break;
            case '@': {
                const FormatArg* arg = takeArg();
                out += arg != nullptr ? arg->description() : "(null)";
                break;
            }
            case 'd': case 'i': {
                const FormatArg* arg = takeArg();
                const long long value = arg != nullptr ? arg->asSigned() : 0LL;
                appendPrintf(out, spec + "lld", longModifier ? value : static_cast<long long>(static_cast<std::int32_t>(value)));
                break;
            }
            case 'u': case 'x': case 'X': case 'o': {
                const FormatArg* arg = takeArg();
                appendPrintf(out, spec + "ll" + conversion, arg != nullptr ? arg->asUnsigned() : 0ULL);
                break;
            }
            case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A': {
                const FormatArg* arg = takeArg();
                appendPrintf(out, spec + conversion, arg != nullptr ? arg->asDouble() : 0.0);
                break;
            }
            case 'c': {
                const FormatArg* arg = takeArg();
                appendPrintf(out, spec + 'c', static_cast<int>(arg != nullptr ? arg->asSigned() : 0));
                break;
            }
            case 's': {
                const FormatArg* arg = takeArg();
                const std::string text = arg == nullptr ? std::string("(null)")
                                         : arg->kind() == FormatArg::Kind::Text ? arg->text()
                                                                                : arg->description();
                if (spec == "%") {
                    out += text;  // keeps embedded NUL bytes
                } else {
                    appendPrintf(out, spec + 's', text.c_str());
                }
                break;
            }
            case 'p': {
                const FormatArg* arg = takeArg();
                out += "0x";
                appendPrintf(out, spec + "llx", arg != nullptr ? arg->asUnsigned() : 0ULL);
                break;
            }
            default:
                // Not a conversion: keep the text as written.
                out.append(format.substr(start, i - start));
                break;
        }
    }
    return out;
}

}  // namespace platform
