#include "loopback_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

LoopbackServer::LoopbackServer(std::string reply, unsigned short port)
    : _reply(std::move(reply))
{
    _listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::listen(_listener, 64) != 0)
        throw std::runtime_error("cannot listen on loopback");
    _thread = std::thread(&LoopbackServer::serve, this);
}

LoopbackServer::~LoopbackServer()
{
    _stopping = true;
    _thread.join();
    ::close(_listener);
}

std::vector<std::string> LoopbackServer::requests()
{
    std::lock_guard lock(_mutex);
    return _requests;
}

std::vector<std::string> LoopbackServer::bodies()
{
    std::vector<std::string> result;
    for (const std::string& request : requests())
        result.push_back(request.substr(request.find("\r\n\r\n") + 4));
    return result;
}

void LoopbackServer::serve()
{
    while (!_stopping) {
        pollfd entry{_listener, POLLIN, 0};
        if (::poll(&entry, 1, 50) <= 0)
            continue;
        const int peer = ::accept(_listener, nullptr, nullptr);
        if (peer < 0)
            continue;
        // Read until the announced body length has arrived (or the peer gives up).
        std::string request;
        char buffer[65536];
        for (;;) {
            const std::size_t headerEnd = request.find("\r\n\r\n");
            if (headerEnd != std::string::npos) {
                const std::size_t lengthAt = request.find("Content-Length:");
                const std::size_t length = std::stoul(request.substr(lengthAt + 15));
                if (request.size() >= headerEnd + 4 + length)
                    break;
            }
            const ssize_t count = ::read(peer, buffer, sizeof buffer);
            if (count <= 0)
                break;
            request.append(buffer, static_cast<std::size_t>(count));
        }
        {
            std::lock_guard lock(_mutex);
            _requests.push_back(request);
        }
        if (_reply.empty())
            ::usleep(1500 * 1000); // hold the connection open past the client's 1 s wait
        else
            (void)::send(peer, _reply.data(), _reply.size(), MSG_NOSIGNAL);
        ::close(peer);
    }
}
