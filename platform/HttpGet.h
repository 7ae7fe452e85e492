#pragma once

#include <optional>
#include <string>

namespace platform::http {

// Fetches a small document synchronously on the calling thread, as the installer reads its remote
// configuration: only http and https (redirects too), 10 s to connect, 30 s in all, a 2xx answer
// of at most 1 MiB. Any failure gives nothing, and its reason in `failure` when one is given.
std::optional<std::string> getDocument(const std::string& url, std::string* failure = nullptr);

}  // namespace platform::http
