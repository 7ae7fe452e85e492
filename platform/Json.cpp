#include "platform/Json.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>

namespace platform::json {

// One value inside a document that stays alive as long as any view of it.
struct Value::Node {
    std::shared_ptr<const nlohmann::json> document;
    const nlohmann::json* value;
};

Value::Value(std::shared_ptr<const Node> node) : _node(std::move(node)) {}

std::optional<Value> Value::parse(std::string_view text) {
    auto document = std::make_shared<const nlohmann::json>(nlohmann::json::parse(text, nullptr, false));
    if (document->is_discarded()) {
        return std::nullopt;
    }
    const nlohmann::json* root = document.get();
    return Value(std::make_shared<const Node>(Node{std::move(document), root}));
}

std::optional<Value> Value::parseFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (file.bad()) {
        return std::nullopt;
    }
    return parse(text);
}

bool Value::isObject() const { return _node->value->is_object(); }
bool Value::isArray() const { return _node->value->is_array(); }

std::optional<Value> Value::member(std::string_view key) const {
    const nlohmann::json& value = *_node->value;
    if (!value.is_object()) {
        return std::nullopt;
    }
    const auto found = value.find(key);
    if (found == value.end()) {
        return std::nullopt;
    }
    return Value(std::make_shared<const Node>(Node{_node->document, &*found}));
}

std::optional<std::string> Value::stringMember(std::string_view key) const {
    const auto found = member(key);
    return found ? found->asString() : std::nullopt;
}

std::optional<Value> Value::objectMember(std::string_view key) const {
    auto found = member(key);
    return found && found->isObject() ? found : std::nullopt;
}

std::optional<std::string> Value::asString() const {
    const nlohmann::json& value = *_node->value;
    if (!value.is_string()) {
        return std::nullopt;
    }
    return value.get_ref<const std::string&>();
}

std::optional<std::int64_t> Value::asInteger() const {
    const nlohmann::json& value = *_node->value;
    if (value.is_number_integer()) {
        if (value.is_number_unsigned() &&
            value.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return std::nullopt;
        }
        return value.get<std::int64_t>();
    }
    if (!value.is_number_float()) {
        return std::nullopt;
    }
    // 2^63 is exact as a double; anything at or beyond it (or NaN) has no signed 64-bit value.
    const double whole = std::trunc(value.get<double>());
    constexpr double limit = 9223372036854775808.0;
    if (!(whole >= -limit && whole < limit)) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(whole);
}

std::vector<Value> Value::elements() const {
    std::vector<Value> result;
    const nlohmann::json& value = *_node->value;
    if (!value.is_array()) {
        return result;
    }
    result.reserve(value.size());
    for (const nlohmann::json& element : value) {
        result.push_back(Value(std::make_shared<const Node>(Node{_node->document, &element})));
    }
    return result;
}

}  // namespace platform::json
