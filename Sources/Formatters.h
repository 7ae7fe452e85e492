#pragma once

#include <cstdint>
#include <string>

// The display texts of byte counts and remaining times; every byte figure the window shows or a
// log line carries is made here.
class Formatters {
public:
    Formatters() = delete;
    static std::string stringFromBytes(std::int64_t bytes);
    static std::string timeFromInterval(double seconds);
};
