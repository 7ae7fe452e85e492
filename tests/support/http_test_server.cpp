#include "support/http_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>

namespace testing_support {

namespace {

bool sendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t put = ::send(fd, data, size, MSG_NOSIGNAL);
        if (put <= 0) {
            return false;
        }
        data += put;
        size -= static_cast<std::size_t>(put);
    }
    return true;
}

bool sendText(int fd, const std::string& text) {
    return sendAll(fd, text.data(), text.size());
}

// The value of a header of the head; `name` in lower case.
std::string header(const std::string& head, const std::string& name) {
    std::string lower(head.size(), '\0');
    std::transform(head.begin(), head.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    const std::size_t at = lower.find("\r\n" + name + ":");
    if (at == std::string::npos) {
        return {};
    }
    const std::size_t start = head.find_first_not_of(' ', at + name.size() + 3);
    return head.substr(start, head.find("\r\n", start) - start);
}

}  // namespace

HttpTestServer::HttpTestServer(std::uint16_t port) {
    _listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(_listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(_listener, 64) != 0) {
        ::close(_listener);
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    socklen_t length = sizeof address;
    ::getsockname(_listener, reinterpret_cast<sockaddr*>(&address), &length);
    _port = ntohs(address.sin_port);
    _acceptor = std::thread([this] { acceptLoop(); });
}

HttpTestServer::~HttpTestServer() {
    _stopping = true;
    ::shutdown(_listener, SHUT_RDWR);
    _acceptor.join();
    ::close(_listener);
    {
        std::lock_guard lock(_mutex);
        for (const auto& connection : _connections) {
            if (!connection.done) {
                ::shutdown(connection.fd, SHUT_RDWR);
            }
        }
    }
    for (auto& connection : _connections) {
        connection.thread.join();
    }
}

std::string HttpTestServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(_port) + path;
}

void HttpTestServer::serve(const std::string& path, std::string body, bool statesLength, bool statesValidator) {
    std::lock_guard lock(_mutex);
    _files[path] = File{std::move(body), 0, statesLength, statesValidator};
}

void HttpTestServer::serveGenerated(const std::string& path, std::uint64_t size) {
    std::lock_guard lock(_mutex);
    _files[path] = File{{}, size, true, true};
}

namespace {

// Generated files repeat a pattern whose length is a prime, so no power-of-two block of a
// transfer lines up with it; one more chunk of it follows, so any chunk can be sent in place.
constexpr std::size_t patternLength = 1048573;
constexpr std::size_t chunkLength = 1 << 20;

const std::string& pattern() {
    static const std::string bytes = [] {
        std::string made(patternLength + chunkLength, '\0');
        for (std::size_t index = 0; index < made.size(); ++index) {
            made[index] = static_cast<char>(((index % patternLength) * 2654435761u) >> 13);
        }
        return made;
    }();
    return bytes;
}

}  // namespace

char HttpTestServer::generatedByte(std::uint64_t index) {
    return pattern()[index % patternLength];
}

void HttpTestServer::addFault(const std::string& path, Fault fault) {
    std::lock_guard lock(_mutex);
    _faults[path].push_back(fault);
}

std::vector<HttpTestServer::Request> HttpTestServer::requests() const {
    std::lock_guard lock(_mutex);
    return _requests;
}

std::vector<std::string> HttpTestServer::Request::lines() const {
    std::vector<std::string> found;
    for (std::size_t start = 0, end; start < body.size(); start = end) {
        end = body.find("\r\n", start);
        end = end == std::string::npos ? body.size() : end + 2;
        found.push_back(body.substr(start, end - start));
    }
    return found;
}

int HttpTestServer::connections() const {
    std::lock_guard lock(_mutex);
    return _accepted;
}

bool HttpTestServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(_mutex);
    return _arrived.wait_for(lock, timeout, [&] { return _requests.size() >= count; });
}

std::vector<std::string> HttpTestServer::bodies() const {
    std::vector<std::string> found;
    for (const auto& request : requests()) {
        found.push_back(request.body);
    }
    return found;
}

void HttpTestServer::setReply(std::string reply, bool keepOpen) {
    std::lock_guard lock(_mutex);
    _reply = std::move(reply);
    _keepOpen = keepOpen;
}

void HttpTestServer::setReplyPace(std::chrono::milliseconds perByte) {
    std::lock_guard lock(_mutex);
    _replyPace = perByte;
}

void HttpTestServer::dropRequest(int number) {
    std::lock_guard lock(_mutex);
    _droppedRequest = number;
}

void HttpTestServer::acceptLoop() {
    while (!_stopping) {
        const int fd = ::accept4(_listener, nullptr, nullptr, SOCK_CLOEXEC);
        joinFinished();
        if (fd < 0) {
            continue;
        }
        std::lock_guard lock(_mutex);
        if (_stopping) {
            ::close(fd);
            return;
        }
        auto& connection = _connections.emplace_back();
        connection.fd = fd;
        connection.thread = std::thread([this, fd, number = ++_accepted] { serveConnection(fd, number); });
    }
}

void HttpTestServer::joinFinished() {
    std::list<Connection> finished;
    {
        std::lock_guard lock(_mutex);
        for (auto it = _connections.begin(); it != _connections.end();) {
            const auto next = std::next(it);
            if (it->done) {
                finished.splice(finished.end(), _connections, it);
            }
            it = next;
        }
    }
    for (auto& connection : finished) {
        connection.thread.join();
    }
}

void HttpTestServer::waitForClose(int fd) {
    char byte;
    while (!_stopping) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 50) > 0 && ::recv(fd, &byte, 1, 0) <= 0) {
            return;
        }
    }
}

bool HttpTestServer::sendBody(int fd, const File& file, std::uint64_t from, std::uint64_t count,
                              std::uint64_t bytesPerSecond) {
    const std::uint64_t chunkSize =
        bytesPerSecond > 0 ? std::clamp<std::uint64_t>(bytesPerSecond / 50, 1, chunkLength) : chunkLength;
    for (std::uint64_t at = from; at < from + count && !_stopping;) {
        const std::uint64_t take = std::min(chunkSize, from + count - at);
        const char* data = file.generatedSize > 0 ? pattern().data() + at % patternLength : file.body.data() + at;
        if (!sendAll(fd, data, take)) {
            return false;
        }
        at += take;
        if (bytesPerSecond > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    return !_stopping;
}

// Reads the next request of the connection, leaving in `pending` what follows it; false when the
// client left before a whole head.
bool HttpTestServer::readRequest(int fd, std::string& pending, Request& request) {
    char buffer[65536];
    std::size_t headEnd;
    while ((headEnd = pending.find("\r\n\r\n")) == std::string::npos) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) {
            return false;
        }
        pending.append(buffer, static_cast<std::size_t>(got));
    }
    request.head = pending.substr(0, headEnd + 4);
    const std::size_t length = std::strtoull(header(request.head, "content-length").c_str(), nullptr, 10);
    while (pending.size() < request.head.size() + length) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) {
            break;
        }
        pending.append(buffer, static_cast<std::size_t>(got));
    }
    const std::size_t space = request.head.find(' ');
    request.method = request.head.substr(0, space);
    request.path = request.head.substr(space + 1, request.head.find(' ', space + 1) - space - 1);
    request.range = header(request.head, "range");
    request.ifRange = header(request.head, "if-range");
    request.raw = pending.substr(0, request.head.size() + length);
    request.body = request.raw.substr(request.head.size());
    pending.erase(0, request.raw.size());
    return true;
}

bool HttpTestServer::sendReply(int fd, const std::string& reply, std::chrono::milliseconds pace) {
    if (pace.count() == 0) {
        return sendText(fd, reply);
    }
    for (const char byte : reply) {
        if (_stopping || !sendAll(fd, &byte, 1)) {
            return false;
        }
        std::this_thread::sleep_for(pace);
    }
    return true;
}

void HttpTestServer::serveConnection(int fd, int connection) {
    std::string pending;
    Request request;
    request.connection = connection;
    while (readRequest(fd, pending, request)) {
        std::optional<std::string> reply;
        bool keepOpen = false;
        bool dropped = false;
        std::chrono::milliseconds pace{0};
        {
            std::lock_guard lock(_mutex);
            _requests.push_back(request);
            reply = _reply;
            keepOpen = _keepOpen;
            dropped = static_cast<int>(_requests.size()) == _droppedRequest;
            pace = _replyPace;
        }
        _arrived.notify_all();
        if (dropped) {
            break;
        }
        if (reply && keepOpen) {
            if (reply->empty() || sendReply(fd, *reply, pace)) {
                continue;
            }
            break;
        }
        respond(fd, request, reply, pace);
        break;
    }
    finish(fd);
}

// The one reply, else the file of the path with its fault, on a connection closed after it.
void HttpTestServer::respond(int fd, const Request& request, const std::optional<std::string>& reply,
                             std::chrono::milliseconds pace) {
    File file;
    bool found = false;
    std::optional<Fault> fault;
    {
        std::lock_guard lock(_mutex);
        if (const auto it = _files.find(request.path); it != _files.end()) {
            file = it->second;  // generated files carry no body: the copy is cheap
            found = true;
        }
        if (const auto it = _faults.find(request.path); it != _faults.end() && !it->second.empty() && request.method == "GET") {
            fault = it->second.front();
            if (it->second.front().times > 0 && --it->second.front().times == 0) {
                it->second.pop_front();
            }
        }
    }
    if (fault && fault->kind == FaultKind::Delay) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(fault->delayMilliseconds);
        while (!_stopping && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    const std::uint64_t size = file.size();
    const std::string etag = "\"v1-" + std::to_string(size) + "\"";
    unsigned long long from = 0;
    const bool ranged = !request.range.empty() && !(fault && fault->kind == FaultKind::IgnoreRange) &&
                        (request.ifRange.empty() || request.ifRange == etag) &&
                        std::sscanf(request.range.c_str(), "bytes=%llu-", &from) == 1;
    if (reply) {
        if (reply->empty()) {
            waitForClose(fd);
        } else {
            sendReply(fd, *reply, pace);
        }
    } else if (!found) {
        sendText(fd, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    } else if (fault && fault->kind == FaultKind::Status) {
        const std::string page = "<html><body>error " + std::to_string(fault->status) + "</body></html>";
        sendText(fd, "HTTP/1.1 " + std::to_string(fault->status) + " Failure\r\nContent-Type: text/html\r\nContent-Length: " +
                         std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n" + page);
    } else if ((fault && fault->kind == FaultKind::Refuse416 && !request.range.empty()) || (ranged && from >= size)) {
        sendText(fd, "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" + std::to_string(size) +
                         "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    } else {
        if (ranged && fault && fault->kind == FaultKind::RangeFromStart) {
            from = 0;
        }
        std::uint64_t end = size;  // one past the last byte sent
        const auto spoiled = [&](FaultKind kind) { return ranged && fault && fault->kind == kind; };
        if (spoiled(FaultKind::ShortRange)) {
            end = std::min<std::uint64_t>(size, from + fault->bytes);
        } else if (spoiled(FaultKind::StatedTotal)) {
            end = std::min<std::uint64_t>(size, fault->bytes);
        }
        const std::string total =
            spoiled(FaultKind::OpenEndedRange) ? "*" : std::to_string(spoiled(FaultKind::StatedTotal) ? end : size);
        std::string answer = ranged ? "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(from) +
                                          "-" + std::to_string(end - 1) + "/" + total + "\r\n"
                                    : "HTTP/1.1 200 OK\r\n";
        const std::uint64_t stated = fault && fault->kind == FaultKind::StatedLength ? fault->bytes : end - from;
        if (file.statesLength && !spoiled(FaultKind::OpenEndedRange)) {
            answer += "Content-Length: " + std::to_string(stated) + "\r\n";
        }
        if (fault && fault->kind == FaultKind::Encoded) {
            answer += "Content-Encoding: gzip\r\n";
        }
        answer += "Accept-Ranges: bytes\r\n" + (file.statesValidator ? "ETag: " + etag + "\r\n" : "") +
                  "Connection: close\r\n\r\n";
        std::uint64_t count = request.method == "HEAD" ? 0 : std::min<std::uint64_t>(stated, end - from);
        const std::uint64_t filler = request.method == "HEAD" ? 0 : stated - count;
        std::uint64_t rate = 0;
        if (fault && (fault->kind == FaultKind::Drop || fault->kind == FaultKind::Stall || spoiled(FaultKind::OpenEndedRange))) {
            count = std::min(count, fault->bytes);
        }
        bool sent = sendText(fd, answer);
        if (fault && fault->kind == FaultKind::Throttle) {
            const std::uint64_t fast = std::min(count, fault->bytes);
            sent = sent && sendBody(fd, file, from, fast, 0);
            from += fast;
            count -= fast;
            rate = fault->bytesPerSecond;
        }
        if (sent && sendBody(fd, file, from, count, rate) && sendText(fd, std::string(filler, 'x')) && fault &&
            fault->kind == FaultKind::Stall) {
            waitForClose(fd);
        }
    }
}

void HttpTestServer::finish(int fd) {
    std::lock_guard lock(_mutex);
    ::close(fd);
    for (auto& connection : _connections) {
        if (connection.fd == fd && !connection.done) {
            connection.done = true;
            break;
        }
    }
}

}  // namespace testing_support
