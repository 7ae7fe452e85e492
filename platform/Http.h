#pragma once

#include "platform/Error.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace platform::http {

struct Request {
    std::string url;
    std::string method = "GET";  // "HEAD" asks for the head only
    std::chrono::milliseconds timeout{30000};        // the whole exchange
    std::chrono::milliseconds connectTimeout{30000};
    std::size_t maxBodyBytes = 1 << 20;  // a longer body is an error
};

struct Response {
    long statusCode = 0;                      // 0 when no answer came
    std::int64_t expectedContentLength = -1;  // the stated length; -1 when none was stated
    std::string body;
    std::optional<Error> error;  // transport failures only: any status counts as an answer
};

// Sends one request over http or https (following redirects) and waits for its answer on the
// calling thread, which may be any thread. Nothing is cached.
Response sendSynchronousRequest(const Request& request);

}  // namespace platform::http
