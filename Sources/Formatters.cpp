#include "Formatters.h"

#include "platform/Format.h"

#include <array>
#include <cmath>
#include <limits>

namespace {

struct Unit {
    const char* name;
    std::uint64_t size;
    unsigned fractionDigits;
};

constexpr std::array<Unit, 6> units{{
    {"KB", 1000ULL, 0},
    {"MB", 1000ULL * 1000, 1},
    {"GB", 1000ULL * 1000 * 1000, 2},
    {"TB", 1000ULL * 1000 * 1000 * 1000, 2},
    {"PB", 1000ULL * 1000 * 1000 * 1000 * 1000, 2},
    {"EB", 1000ULL * 1000 * 1000 * 1000 * 1000 * 1000, 2},
}};

std::uint64_t powerOfTen(unsigned exponent) {
    std::uint64_t value = 1;
    while (exponent-- > 0) {
        value *= 10;
    }
    return value;
}

// The magnitude's text: whole bytes below 1000, else the largest unit it reaches, in steps
// of that unit's last fraction digit, rounded half up. Integer arithmetic, so no figure near
// a rounding edge comes out one step off.
std::string magnitudeText(std::uint64_t bytes) {
    if (bytes == 0) {
        return "Zero KB";
    }
    if (bytes == 1) {
        return "1 byte";
    }
    if (bytes < units.front().size) {
        return std::to_string(bytes) + " bytes";
    }
    std::size_t index = 0;
    while (index + 1 < units.size() && bytes >= units[index + 1].size) {
        ++index;
    }
    for (;; ++index) {
        const Unit& unit = units[index];
        const std::uint64_t scale = powerOfTen(unit.fractionDigits);
        const std::uint64_t step = unit.size / scale;
        const std::uint64_t steps = bytes / step + (bytes % step >= step - bytes % step ? 1 : 0);
        if (steps >= 1000 * scale && index + 1 < units.size()) {
            continue;  // 999.5 KB is "1.0 MB", not "1000 KB"
        }
        std::string text = std::to_string(steps / scale);
        if (unit.fractionDigits > 0) {
            const std::string fraction = std::to_string(steps % scale);
            text += "." + std::string(unit.fractionDigits - fraction.size(), '0') + fraction;
        }
        return text + " " + unit.name;
    }
}

}  // namespace

std::string Formatters::stringFromBytes(std::int64_t bytes) {
    if (bytes < 0) {
        // The magnitude of the most negative count is one more than the largest positive one.
        return "-" + magnitudeText(0 - static_cast<std::uint64_t>(bytes));
    }
    return magnitudeText(static_cast<std::uint64_t>(bytes));
}

std::string Formatters::timeFromInterval(double seconds) {
    // A time too large (or not a number) to count in whole seconds is held at the last one that
    // fits rather than converted into undefined behaviour.
    constexpr double limit = 9.2e18;
    const std::int64_t t = std::isnan(seconds) ? 0
                           : seconds >= limit  ? static_cast<std::int64_t>(limit)
                           : seconds <= -limit ? -static_cast<std::int64_t>(limit)
                                               : static_cast<std::int64_t>(seconds);
    const std::int64_t m = t / 60;
    const std::int64_t sec = t - m * 60;
    if (t >= -3599 && t <= 3599) {
        return platform::format("%02ld:%02ld", m % 60, sec);
    }
    return platform::format("%02ld:%02ld:%02ld", t / 3600, m % 60, sec);
}
