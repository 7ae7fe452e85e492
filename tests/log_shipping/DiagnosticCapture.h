#pragma once

#include <chrono>
#include <iostream>
#include <mutex>
#include <streambuf>
#include <string>
#include <thread>

// Collects what the library's internal diagnostic log writes to standard error, from any
// thread. The appender's flusher thread must have stopped writing before it is destroyed.
class DiagnosticCapture {
public:
    DiagnosticCapture() : previous(std::cerr.rdbuf(&captured)) {}
    ~DiagnosticCapture() { std::cerr.rdbuf(previous); }

    std::string text() const {
        std::lock_guard lock(captured.mutex);
        return captured.written;
    }
    int count(const std::string& needle) const {
        const std::string all = text();
        int found = 0;
        for (std::size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + needle.size())) {
            ++found;
        }
        return found;
    }
    // Waits until the needle has been written `wanted` times; false when it has not by then.
    bool waitFor(const std::string& needle, int wanted = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (count(needle) < wanted) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

private:
    // Unbuffered: every character is taken under the lock.
    struct Buffer : std::streambuf {
        int_type overflow(int_type c) override {
            std::lock_guard lock(mutex);
            if (!traits_type::eq_int_type(c, traits_type::eof())) {
                written += traits_type::to_char_type(c);
            }
            return traits_type::not_eof(c);
        }
        mutable std::mutex mutex;
        std::string written;
    };

    Buffer captured;
    std::streambuf* previous;
};
