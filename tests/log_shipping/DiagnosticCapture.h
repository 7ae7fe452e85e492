#pragma once

#include <iostream>
#include <sstream>
#include <string>

// Collects what the library's internal diagnostic log writes to standard error.
class DiagnosticCapture {
public:
    DiagnosticCapture() : previous(std::cerr.rdbuf(captured.rdbuf())) {}
    ~DiagnosticCapture() { std::cerr.rdbuf(previous); }

    std::string text() const { return captured.str(); }
    int count(const std::string& needle) const {
        const std::string all = captured.str();
        int found = 0;
        for (std::size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + needle.size())) {
            ++found;
        }
        return found;
    }

private:
    std::ostringstream captured;
    std::streambuf* previous;
};
