#pragma once

#include "platform/Error.h"

#include <curl/curl.h>

#include <memory>

namespace platform::detail {

// libcurl's global set-up, done once before the first handle is made.
void ensureCurl();

struct CurlCleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlCleanup>;

// A fresh handle with the options every transfer shares: http and https only, redirects
// followed, no signals (transfers run on worker threads).
CurlHandle makeCurlHandle(const char* url);

// An error of the "NSURLErrorDomain" kind for a failed transfer.
Error curlError(CURLcode code, const char* detail);

}  // namespace platform::detail
