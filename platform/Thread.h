#pragma once

#include <functional>
#include <optional>

namespace platform {

// Starts `body` on a detached thread of its own, from any thread. Throws std::system_error, as
// std::thread does, when the system cannot start one (its limit of threads or processes is
// reached); `body` then never runs. The global queue's workers and the children's reapers start
// here, so that whoever asked for them can end cleanly instead.
void startDetachedThread(std::function<void()> body);

// Tests: the next `allowed` starts above go as usual and every later one fails as it does at the
// system's limit (EAGAIN); nullopt lets every start go again.
void setThreadStartsAllowedForTesting(std::optional<int> allowed);

}  // namespace platform
