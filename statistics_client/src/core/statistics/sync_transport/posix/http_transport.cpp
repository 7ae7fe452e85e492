#include "core/statistics/sync_transport/posix/http_transport.h"

#include <cerrno>
#include <cstring>
#include <sstream>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace Statistics::SyncTransport::Posix {

namespace {
constexpr int connectWaitMs = 3000;
constexpr std::size_t replyLimit = 4096;
} // namespace

bool HttpTransport::send(const std::string& url, const std::string& body)
{
    const Url parsed = Url::parse(url);
    const std::string request = buildRequest(parsed, body);

    addrinfo* addresses = nullptr;
    if (!resolve(parsed, &addresses))
        return false;

    // Only the first address is tried.
    int descriptor = -1;
    if (!connect(descriptor, addresses) || !write(request, descriptor)) {
        close(descriptor, addresses);
        return false;
    }
    const std::string reply = read(descriptor);
    close(descriptor, addresses);
    return !reply.empty();
}

std::string HttpTransport::buildRequest(const Url& url, const std::string& body)
{
    std::ostringstream request;
    request << "POST " << url.path << " HTTP/1.1\r\n"
            << "Host: " << url.host << "\r\n"
            << "User-Agent:" << "Statistics" << "\r\n"
            << "Accept:application/json\r\n"
            << "Content-Type:application/json\r\n"
            << "Content-Length:" << std::to_string(body.size()) << "\r\n\r\n"
            << body;
    return request.str();
}

bool HttpTransport::resolve(const Url& url, addrinfo** addresses)
{
    // The protocol is the service name, so "http" selects port 80 from the service table.
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    return ::getaddrinfo(url.host.c_str(), url.protocol.c_str(), &hints, addresses) == 0;
}

bool HttpTransport::connect(int& descriptor, const addrinfo* address)
{
    descriptor = ::socket(address->ai_family, address->ai_socktype, address->ai_protocol);
    if (descriptor == -1)
        return false;

    const timeval receiveTimeout{1, 0};
    if (::setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &receiveTimeout, sizeof receiveTimeout) < 0)
        return false;

    ::fcntl(descriptor, F_SETFL, O_NONBLOCK);
    if (::connect(descriptor, address->ai_addr, address->ai_addrlen) == -1 && errno != EINPROGRESS)
        return false;
    if (!waitConnected(descriptor))
        return false;

    // Back to blocking mode. A refused or unfinished connection is not a failure here: it
    // shows at the write.
    const int flags = ::fcntl(descriptor, F_GETFL);
    ::fcntl(descriptor, F_SETFL, flags ^ O_NONBLOCK);
    return true;
}

bool HttpTransport::waitConnected(int descriptor)
{
    // poll rather than select: a descriptor number above FD_SETSIZE is safe.
    pollfd entry{descriptor, POLLOUT, 0};
    const int ready = ::poll(&entry, 1, connectWaitMs);
    if (ready == -1)
        return false;
    if (ready == 0) {
        // Still connecting after the wait. Abandon the attempt, so that the write fails at
        // once rather than blocking until the kernel gives up its connect retries.
        ::shutdown(descriptor, SHUT_RDWR);
    }
    return true;
}

bool HttpTransport::write(const std::string& request, int descriptor)
{
    // One call with the whole request; MSG_NOSIGNAL turns a dead peer into EPIPE instead of
    // a SIGPIPE that would end the process.
    const ssize_t written = ::send(descriptor, request.data(), request.size(), MSG_NOSIGNAL);
    return written >= 0 && static_cast<std::size_t>(written) == request.size();
}

std::string HttpTransport::read(int descriptor)
{
    char buffer[replyLimit + 1];
    const ssize_t count = ::read(descriptor, buffer, replyLimit);
    if (count < 0)
        return {};
    buffer[count] = '\0';
    return std::string(buffer); // up to the first NUL byte
}

void HttpTransport::close(int descriptor, addrinfo* addresses)
{
    ::freeaddrinfo(addresses);
    if (descriptor != -1)
        ::close(descriptor);
}

} // namespace Statistics::SyncTransport::Posix
