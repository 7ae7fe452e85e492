#include "log_shipping/BoundedSocket.h"

#include <log4cplus/helpers/loglog.h>
#include <log4cplus/helpers/stringhelper.h>

#include <cerrno>
#include <memory>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

namespace log4cplus {
namespace helpers {

namespace {

constexpr int connectWaitMilliseconds = 3000;

void setCloseOnExec(int fd) {
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags == -1 || ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == -1) {
        getLogLog().error(LOG4CPLUS_TEXT("could not set FD_CLOEXEC on fd: ") + convertIntegerToString(fd));
    }
}

// Non-blocking connect and one bounded wait for writability. poll rather than select, so
// that a descriptor above FD_SETSIZE is safe.
bool timedConnect(int fd, const addrinfo& address) {
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, (flags == -1 ? 0 : flags) | O_NONBLOCK);

    if (::connect(fd, address.ai_addr, address.ai_addrlen) == -1 && errno != EINPROGRESS) {
        return false;
    }
    pollfd entry{fd, POLLOUT, 0};
    if (::poll(&entry, 1, connectWaitMilliseconds) == -1) {
        return false;
    }
    ::fcntl(fd, F_SETFL, flags == -1 ? 0 : flags);
    return true;
}

void setTimeout(int fd, int option, int seconds) {
    timeval timeout{seconds, 0};
    ::setsockopt(fd, SOL_SOCKET, option, &timeout, sizeof timeout);
}

}  // namespace

SOCKET_TYPE connectSocketBounded(const tstring& host, unsigned short port, bool udp, bool ipv6,
                                 SocketState& state) {
    addrinfo hints{};
    hints.ai_family = ipv6 ? AF_INET6 : AF_INET;
    hints.ai_socktype = udp ? SOCK_DGRAM : SOCK_STREAM;
    hints.ai_protocol = udp ? IPPROTO_UDP : IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;

    addrinfo* found = nullptr;
    const int resolved = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (resolved != 0) {
        errno = resolved;
        return INVALID_SOCKET_VALUE;
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);

    for (const addrinfo* address = addresses.get(); address != nullptr; address = address->ai_next) {
        const int fd = ::socket(address->ai_family, address->ai_socktype, address->ai_protocol);
        if (fd < 0) {
            continue;
        }
        setCloseOnExec(fd);
        if (timedConnect(fd, *address)) {
            state = ok;
            return fd;
        }
        const int lastError = errno;
        ::close(fd);
        errno = lastError;
    }
    return INVALID_SOCKET_VALUE;
}

BoundedSocket::BoundedSocket() = default;

BoundedSocket::BoundedSocket(const tstring& host, unsigned short port, bool ipv6) {
    SocketState connectState = not_opened;
    const SOCKET_TYPE fd = connectSocketBounded(host, port, false, ipv6, connectState);
    const int connectError = errno;
    if (fd != INVALID_SOCKET_VALUE) {
        setTCPNoDelay(fd, true);
        setTimeout(static_cast<int>(fd), SO_SNDTIMEO, ioTimeoutSeconds);
        setTimeout(static_cast<int>(fd), SO_RCVTIMEO, ioTimeoutSeconds);
    }
    Socket::operator=(Socket(fd, connectState, fd == INVALID_SOCKET_VALUE ? connectError : 0));
}

BoundedSocket::BoundedSocket(SOCKET_TYPE descriptor, SocketState socketState, int error)
    : Socket(descriptor, socketState, error) {}

BoundedSocket::BoundedSocket(BoundedSocket&&) noexcept = default;
BoundedSocket& BoundedSocket::operator=(BoundedSocket&&) noexcept = default;
BoundedSocket::~BoundedSocket() = default;

bool BoundedSocket::write(const std::string& buffer) {
    const char* next = buffer.data();
    std::size_t left = buffer.size();
    while (left > 0) {
        const ssize_t sent = ::send(static_cast<int>(sock), next, left, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            close();
            return false;
        }
        next += sent;
        left -= static_cast<std::size_t>(sent);
    }
    return true;
}

std::size_t BoundedSocket::readSomeBefore(char* data, std::size_t size, std::chrono::steady_clock::time_point deadline) {
    using namespace std::chrono;
    for (;;) {
        const auto left = ceil<milliseconds>(deadline - steady_clock::now()).count();
        pollfd entry{static_cast<int>(sock), POLLIN, 0};
        const int ready = left > 0 ? ::poll(&entry, 1, static_cast<int>(left)) : 0;
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            break;
        }
        const ssize_t received = ::recv(static_cast<int>(sock), data, size, 0);
        if (received < 0 && errno == EINTR) {
            continue;
        }
        if (received <= 0) {
            break;
        }
        return static_cast<std::size_t>(received);
    }
    close();
    return 0;
}

}  // namespace helpers
}  // namespace log4cplus
