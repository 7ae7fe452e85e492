#pragma once

#include <concepts>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace platform {

// Anything with a description() can be inserted by "%@".
template <typename T>
concept Describable = requires(const T& value) {
    { value.description() } -> std::convertible_to<std::string>;
};

// One argument of a format, type-erased. Integers, floating-point numbers, texts and
// describable objects are kept so that each conversion can render them as the platform would.
class FormatArg {
public:
    enum class Kind { Signed, Unsigned, Floating, Text, Object };

    template <typename T>
        requires(std::is_integral_v<T> && std::is_signed_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>)
    FormatArg(T value) : _kind(Kind::Signed), _signed(value) {}
    template <typename T>
        requires(std::is_integral_v<T> && std::is_unsigned_v<T> && !std::is_same_v<T, bool>)
    FormatArg(T value) : _kind(Kind::Unsigned), _unsigned(value) {}
    FormatArg(char value) : _kind(Kind::Signed), _signed(value) {}
    // A boolean prints as the platform's BOOL: 1 or 0 with %d, "YES"/"NO" is never implied.
    FormatArg(bool value) : _kind(Kind::Signed), _signed(value ? 1 : 0) {}
    template <typename T>
        requires std::is_floating_point_v<T>
    FormatArg(T value) : _kind(Kind::Floating), _floating(static_cast<double>(value)) {}

    // A null C string is the platform's nil: "(null)".
    FormatArg(const char* text) : _kind(Kind::Text), _text(text != nullptr ? text : "(null)"), _isNil(text == nullptr) {}
    FormatArg(const std::string& text) : _kind(Kind::Text), _text(text) {}
    FormatArg(std::string_view text) : _kind(Kind::Text), _text(text) {}
    FormatArg(const std::filesystem::path& path) : _kind(Kind::Text), _text(path.string()) {}
    FormatArg(std::nullptr_t) : _kind(Kind::Text), _text("(null)"), _isNil(true) {}

    template <Describable T>
    FormatArg(const T& object) : _kind(Kind::Object), _text(object.description()) {}
    template <typename T>
    FormatArg(const std::shared_ptr<T>& object) : FormatArg(fromPointer(object.get())) {}
    template <typename T>
    FormatArg(const std::optional<T>& value) : FormatArg(value ? FormatArg(*value) : FormatArg(nullptr)) {}
    // A list prints as the platform prints an array: "(\n    a,\n    b\n)".
    template <typename T>
    FormatArg(const std::vector<T>& items) : _kind(Kind::Object), _text(describeList(items)) {}

    Kind kind() const { return _kind; }
    long long asSigned() const;
    unsigned long long asUnsigned() const;
    double asDouble() const;
    // The text "%@" inserts for this argument.
    std::string description() const;
    // The text "%s" inserts.
    const std::string& text() const { return _text; }

private:
    template <typename T>
    static FormatArg fromPointer(const T* object) {
        if (object == nullptr) {
            return FormatArg(nullptr);
        }
        return FormatArg(*object);
    }
    template <typename T>
    static std::string describeList(const std::vector<T>& items) {
        std::vector<std::string> parts;
        parts.reserve(items.size());
        for (const auto& item : items) {
            parts.push_back(FormatArg(item).description());
        }
        return joinListDescription(parts);
    }
    static std::string joinListDescription(const std::vector<std::string>& parts);

    Kind _kind;
    long long _signed = 0;
    unsigned long long _unsigned = 0;
    double _floating = 0;
    std::string _text;
    bool _isNil = false;
};

// Formats in the platform's convention: printf conversions (flags, width, precision, length
// modifiers, "*") plus "%@" for any argument's description. Missing arguments print nothing.
// "%d" and "%i" without a long modifier (l, ll, q, j, z, t) print the argument as the 32-bit
// int C would read there: 4294967297 prints 1.
std::string formatArgs(std::string_view format, std::span<const FormatArg> args);

template <typename... Args>
std::string format(std::string_view fmt, const Args&... args) {
    const FormatArg packed[] = {FormatArg(args)..., FormatArg(nullptr)};
    return formatArgs(fmt, std::span<const FormatArg>(packed, sizeof...(Args)));
}

}  // namespace platform
