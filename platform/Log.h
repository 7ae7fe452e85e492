#pragma once

#include "platform/Format.h"

#include <string>

namespace platform {

// Writes a line to standard error with the time, process name and ids, as the platform's NSLog.
void writeSystemLog(const std::string& message);

template <typename... Args>
void nsLog(std::string_view fmt, const Args&... args) {
    writeSystemLog(format(fmt, args...));
}

}  // namespace platform
