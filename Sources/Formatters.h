#pragma once

#include <cstdint>
#include <string>

// The display texts of byte counts and remaining times; every byte figure the window shows or a
// log line carries is made here. No state; any thread.
class Formatters {
public:
    Formatters() = delete;

    // Decimal units (1 KB = 1000 bytes): 0 is "Zero KB", 1 is "1 byte", 2 to 999 "N bytes"; then
    // KB with no fraction digit, MB with one, GB and above (TB, PB, EB) with two, zero-padded
    // and rounded half up ("1 KB", "1.0 MB", "2.50 GB"). A figure that rounds up to 1000 of its
    // unit is written in the next one. A negative count is its magnitude's text after "-".
    static std::string stringFromBytes(std::int64_t bytes);

    // "MM:SS" for less than an hour either way, else "HH:MM:SS" with as many hour digits as
    // needed; the seconds are truncated toward zero.
    static std::string timeFromInterval(double seconds);
};
