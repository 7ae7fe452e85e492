#include "BulkEndpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <strings.h>

namespace {

// Waits up to 50 ms for data so that the server notices when it should stop.
bool readable(int fd) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, 50) > 0;
}

std::size_t contentLength(const std::string& head) {
    const std::string name = "\r\ncontent-length:";
    for (std::size_t at = 0; at + name.size() <= head.size(); ++at) {
        if (::strncasecmp(head.c_str() + at, name.c_str(), name.size()) == 0) {
            return std::strtoul(head.c_str() + at + name.size(), nullptr, 10);
        }
    }
    return 0;
}

}  // namespace

std::vector<std::string> BulkEndpoint::Request::lines() const {
    std::vector<std::string> result;
    std::size_t start = 0;
    for (std::size_t end; (end = body.find("\r\n", start)) != std::string::npos; start = end + 2) {
        result.push_back(body.substr(start, end + 2 - start));
    }
    if (start < body.size()) {
        result.push_back(body.substr(start));
    }
    return result;
}

BulkEndpoint::BulkEndpoint(std::uint16_t port) {
    listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int yes = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 16) != 0) {
        ::close(listener);
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port));
    }
    server = std::thread([this] { serve(); });
}

BulkEndpoint::~BulkEndpoint() {
    stopping = true;
    server.join();
    ::close(listener);
}

void BulkEndpoint::failRequest(int number) { failingRequest = number; }
void BulkEndpoint::setAnswer(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    answer = text;
}

void BulkEndpoint::setSilent(bool value) { silent = value; }
void BulkEndpoint::setAnswerPace(std::chrono::milliseconds perByte) { answerPace = perByte; }

std::vector<BulkEndpoint::Request> BulkEndpoint::requests() const {
    std::lock_guard<std::mutex> lock(mutex);
    return recorded;
}

int BulkEndpoint::connections() const {
    std::lock_guard<std::mutex> lock(mutex);
    return accepted;
}

bool BulkEndpoint::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return recorded.size() >= count; });
}

void BulkEndpoint::serve() {
    while (!stopping) {
        if (!readable(listener)) {
            continue;
        }
        const int fd = ::accept(listener, nullptr, nullptr);
        if (fd < 0) {
            continue;
        }
        int connection;
        {
            std::lock_guard<std::mutex> lock(mutex);
            connection = ++accepted;
        }
        serveConnection(fd, connection);
        ::close(fd);
    }
}

void BulkEndpoint::serveConnection(int fd, int connection) {
    std::string pending;
    for (;;) {
        Request request{connection, {}, {}, {}};
        if (!readRequest(fd, pending, request)) {
            return;
        }
        int number;
        std::string reply;
        {
            std::lock_guard<std::mutex> lock(mutex);
            recorded.push_back(request);
            number = static_cast<int>(recorded.size());
            reply = answer;
        }
        changed.notify_all();
        if (number == failingRequest) {
            return;
        }
        if (!silent && !sendAnswer(fd, reply)) {
            return;
        }
    }
}

// False when the client went away before the whole answer was sent.
bool BulkEndpoint::sendAnswer(int fd, const std::string& reply) {
    const std::chrono::milliseconds pace = answerPace;
    if (pace.count() == 0) {
        return ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(reply.size());
    }
    for (const char byte : reply) {
        if (stopping || ::send(fd, &byte, 1, MSG_NOSIGNAL) != 1) {
            return false;
        }
        std::this_thread::sleep_for(pace);
    }
    return true;
}

// Reads one whole request; false when the client closed the connection or the server stops.
bool BulkEndpoint::readRequest(int fd, std::string& pending, Request& request) {
    std::size_t headEnd = std::string::npos;
    char chunk[65536];
    for (;;) {
        if (headEnd == std::string::npos) {
            headEnd = pending.find("\r\n\r\n");
        }
        if (headEnd != std::string::npos) {
            const std::size_t total = headEnd + 4 + contentLength(pending.substr(0, headEnd + 2));
            if (pending.size() >= total) {
                request.raw = pending.substr(0, total);
                request.head = pending.substr(0, headEnd + 4);
                request.body = pending.substr(headEnd + 4, total - headEnd - 4);
                pending.erase(0, total);
                return true;
            }
        }
        if (stopping) {
            return false;
        }
        if (!readable(fd)) {
            continue;
        }
        const ssize_t received = ::recv(fd, chunk, sizeof chunk, 0);
        if (received <= 0) {
            return false;
        }
        pending.append(chunk, static_cast<std::size_t>(received));
    }
}
