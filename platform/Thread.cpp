#include "platform/Thread.h"

#include <atomic>
#include <cerrno>
#include <system_error>
#include <thread>

namespace platform {

namespace {

std::atomic<int> startsAllowed{-1};  // -1: no limit

}  // namespace

void startDetachedThread(std::function<void()> body) {
    for (int allowed = startsAllowed.load(); allowed >= 0;) {
        if (allowed == 0) {
            throw std::system_error(EAGAIN, std::generic_category(), "thread start");
        }
        if (startsAllowed.compare_exchange_weak(allowed, allowed - 1)) {
            break;
        }
    }
    std::thread(std::move(body)).detach();
}

void setThreadStartsAllowedForTesting(std::optional<int> allowed) {
    startsAllowed = allowed.value_or(-1);
}

}  // namespace platform
