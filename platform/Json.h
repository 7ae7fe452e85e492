#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::json {

// A read-only view of one value of a parsed JSON document: what the installer reads from its
// configuration, the remote document and the game's description. Reading never throws and never
// wraps a number: a member that is missing, or a value of another type or out of range, reads as
// absent. Copies are cheap and share the document; any thread may read.
class Value {
public:
    // Nothing when the text is not one JSON value.
    static std::optional<Value> parse(std::string_view text);
    // Nothing when the file cannot be read or holds no JSON value.
    static std::optional<Value> parseFile(const std::filesystem::path& path);

    bool isObject() const;
    bool isArray() const;

    // The member under `key` of an object; absent for any other value.
    std::optional<Value> member(std::string_view key) const;
    std::optional<std::string> stringMember(std::string_view key) const;
    // The member when it is an object.
    std::optional<Value> objectMember(std::string_view key) const;

    std::optional<std::string> asString() const;
    // A number whose whole part lies in the signed 64-bit range, its fraction dropped.
    std::optional<std::int64_t> asInteger() const;
    // The elements of an array, in order; empty for any other value.
    std::vector<Value> elements() const;

private:
    struct Node;
    explicit Value(std::shared_ptr<const Node> node);
    std::shared_ptr<const Node> _node;
};

}  // namespace platform::json
