#include "platform/DateText.h"

#include <ctime>

namespace platform {

std::string alertDateText(std::chrono::system_clock::time_point time) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr) {
        return {};
    }
    // "%g" is the week-based year, as the pattern letters "YY" ask.
    char text[64];
    const std::size_t length = std::strftime(text, sizeof text, "%d.%m.%g %H:%M:%S", &local);
    return std::string(text, length);
}

}  // namespace platform
