#include "Paths.h"

#include <filesystem>
#include <vector>

namespace {

std::vector<std::string> components(const std::string& path) {
    std::vector<std::string> parts;
    for (const auto& part : std::filesystem::path(path)) {
        if (!part.empty()) {
            parts.push_back(part.string());
        }
    }
    return parts;
}

}  // namespace

std::string stringWithPathRelativeTo(const std::string& path, const std::string& anchor) {
    const auto own = components(path);
    const auto base = components(anchor);
    std::size_t shared = 0;
    while (shared < own.size() && shared < base.size() && own[shared] == base[shared]) {
        ++shared;
    }
    std::filesystem::path relative;
    for (std::size_t i = shared; i < base.size(); ++i) {
        relative /= "..";
    }
    for (std::size_t i = shared; i < own.size(); ++i) {
        relative /= own[i];
    }
    return relative.string();
}
