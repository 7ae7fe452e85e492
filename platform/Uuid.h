#pragma once

#include <string>

namespace platform {

// A new random (version 4) UUID as canonical upper-case text with dashes, 8-4-4-4-12.
// Any thread.
std::string newUuidText();

}  // namespace platform
