#include "platform/Http.h"

#include "platform/detail/Curl.h"

#include <mutex>

namespace platform::detail {

void ensureCurl() {
    static std::once_flag done;
    std::call_once(done, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CurlHandle makeCurlHandle(const char* url) {
    ensureCurl();
    CurlHandle handle(curl_easy_init());
    if (!handle) {
        return handle;
    }
    CURL* curl = handle.get();
    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
    return handle;
}

Error curlError(CURLcode code, const char* detail) {
    Error::Info info;
    info.localizedDescription = (detail != nullptr && *detail != '\0') ? detail : curl_easy_strerror(code);
    return Error("NSURLErrorDomain", static_cast<long>(code), std::move(info));
}

}  // namespace platform::detail

namespace platform::http {

namespace {

struct BodySink {
    std::string* body;
    std::size_t limit;
};

std::size_t collectBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* sink = static_cast<BodySink*>(user);
    const std::size_t bytes = size * count;
    if (sink->body->size() + bytes > sink->limit) {
        return 0;  // too long: ends the transfer with a write error
    }
    sink->body->append(data, bytes);
    return bytes;
}

}  // namespace

Response sendSynchronousRequest(const Request& request) {
    Response response;
    auto handle = detail::makeCurlHandle(request.url.c_str());
    if (!handle) {
        response.error = detail::curlError(CURLE_FAILED_INIT, nullptr);
        return response;
    }
    CURL* curl = handle.get();
    char detail[CURL_ERROR_SIZE] = {};
    BodySink sink{&response.body, request.maxBodyBytes};
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, detail);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.connectTimeout.count()));
    if (request.method == "HEAD") {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else if (request.method != "GET") {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collectBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    const CURLcode result = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.statusCode);
    curl_off_t length = -1;
    if (curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK) {
        response.expectedContentLength = length;
    }
    if (result != CURLE_OK) {
        response.error = detail::curlError(result, detail);
    }
    return response;
}

}  // namespace platform::http
