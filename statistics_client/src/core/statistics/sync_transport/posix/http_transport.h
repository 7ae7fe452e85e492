#pragma once

#include "core/statistics/transport.h"
#include "core/statistics/url.h"

#include <string>

struct addrinfo;

namespace Statistics::SyncTransport::Posix {

// One hand-written HTTP/1.1 POST over a fresh stream socket per call, on the calling
// thread. Delivered means the peer answered with at least one byte; the answer itself is
// not examined.
class HttpTransport : public Transport {
public:
    HttpTransport() = default;

    // Lets the URL parser's exceptions through; every network failure is a false result.
    bool send(const std::string& url, const std::string& body) override;

private:
    static std::string buildRequest(const Url& url, const std::string& body);
    static bool resolve(const Url& url, addrinfo** addresses);
    static bool connect(int& descriptor, const addrinfo* address);
    static bool waitConnected(int descriptor);
    static bool write(const std::string& request, int descriptor);
    static std::string read(int descriptor);
    static void close(int descriptor, addrinfo* addresses);
};

} // namespace Statistics::SyncTransport::Posix
