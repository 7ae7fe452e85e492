#include "platform/HttpGet.h"

#include "platform/Format.h"

#include <curl/curl.h>

#include <memory>

namespace platform::http {

namespace {

constexpr long kConnectTimeoutSeconds = 10;
constexpr long kTotalTimeoutSeconds = 30;
constexpr std::size_t kMaximumBytes = 1024 * 1024;

struct Body {
    std::string bytes;
    bool tooLarge = false;
};

std::size_t append(char* data, std::size_t size, std::size_t count, void* context) {
    auto* body = static_cast<Body*>(context);
    const std::size_t length = size * count;
    if (body->bytes.size() + length > kMaximumBytes) {
        body->tooLarge = true;
        return 0;  // makes libcurl stop with a write error
    }
    body->bytes.append(data, length);
    return length;
}

}  // namespace

std::optional<std::string> getDocument(const std::string& url, std::string* failure) {
    const auto fail = [failure](std::string reason) -> std::optional<std::string> {
        if (failure != nullptr) {
            *failure = std::move(reason);
        }
        return std::nullopt;
    };
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
    if (!curl) {
        return fail("cannot create a transfer");
    }
    Body body;
    char errorText[CURL_ERROR_SIZE] = {};
    CURL* handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, kTotalTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaximumBytes));
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &append);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText);

    const CURLcode result = curl_easy_perform(handle);
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (result != CURLE_OK) {
        if (body.tooLarge || result == CURLE_FILESIZE_EXCEEDED) {
            return fail("the document is larger than 1 MiB");
        }
        return fail(errorText[0] != '\0' ? errorText : curl_easy_strerror(result));
    }
    if (status < 200 || status > 299) {
        return fail(format("HTTP status %ld", status));
    }
    return std::move(body.bytes);
}

}  // namespace platform::http
