#include "log_shipping/BoundedSocket.h"
#include "log_shipping/HttpResponse.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

using namespace std::chrono_literals;
using log4cplus::helpers::BoundedSocket;

namespace {

// A listening socket on an ephemeral loopback port.
class Listener {
public:
    Listener() {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(fd, 4);
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~Listener() { close(); }
    void close() {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
    int accept() const { return ::accept(fd, nullptr, nullptr); }

    int fd = -1;
    unsigned short port = 0;
};

std::string pattern(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>('a' + i % 26);
    }
    return text;
}

TEST(BoundedSocketTest, WriteSendsEveryByteOfALargeRequestToASlowReader) {
    Listener listener;
    BoundedSocket socket("127.0.0.1", listener.port, false);
    ASSERT_TRUE(socket.isOpen());
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);

    // A request far larger than the socket buffers, drained by a slow reader.
    const std::string request = pattern(8 * 1024 * 1024);
    std::string received;
    std::thread reader([&] {
        char chunk[16384];
        while (received.size() < request.size()) {
            std::this_thread::sleep_for(2ms);
            const ssize_t got = ::recv(peer, chunk, sizeof chunk, 0);
            if (got <= 0) {
                break;
            }
            received.append(chunk, static_cast<std::size_t>(got));
        }
    });
    EXPECT_TRUE(socket.write(request));
    reader.join();
    EXPECT_EQ(received.size(), request.size());
    EXPECT_TRUE(received == request);
    ::close(peer);
}

TEST(BoundedSocketTest, WriteToAClosedPeerFailsWithoutSigpipe) {
    std::signal(SIGPIPE, SIG_DFL);
    Listener listener;
    BoundedSocket socket("127.0.0.1", listener.port, false);
    ASSERT_TRUE(socket.isOpen());
    ::close(listener.accept());

    const std::string request = pattern(1024 * 1024);
    bool written = true;
    for (int attempt = 0; attempt < 20 && written; ++attempt) {
        written = socket.write(request);
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_FALSE(written);
    EXPECT_FALSE(socket.isOpen());
}

TEST(BoundedSocketTest, RefusedConnectionFailsAtTheFirstWrite) {
    unsigned short port;
    {
        Listener unused;
        port = unused.port;
    }
    BoundedSocket socket("127.0.0.1", port, false);
    EXPECT_FALSE(socket.isOpen() && socket.write("POST / HTTP/1.1\r\n\r\n"));
}

TEST(BoundedSocketTest, UnresolvableHostGivesAClosedSocket) {
    BoundedSocket socket("", 80, false);
    EXPECT_FALSE(socket.isOpen());
    EXPECT_FALSE(socket.write("x"));
}

TEST(BoundedSocketTest, ReadGivesUpAfterTheReceiveTimeout) {
    Listener listener;
    BoundedSocket socket("127.0.0.1", listener.port, false);
    const int peer = listener.accept();
    ASSERT_TRUE(socket.write("request"));
    log4cplus::helpers::SocketBuffer answer(1);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(socket.read(answer));
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, std::chrono::seconds(BoundedSocket::ioTimeoutSeconds) - 500ms);
    EXPECT_LT(waited, std::chrono::seconds(BoundedSocket::ioTimeoutSeconds) + 3s);
    ::close(peer);
}

// A chunk size near 2^64 must not wrap round into a small count and leave the rest of the
// answer on the connection, where it would answer the next request.
TEST(BoundedSocketTest, AnswerWithAChunkSizeThatWrapsIsRefused) {
    Listener listener;
    BoundedSocket socket("127.0.0.1", listener.port, false);
    const int peer = listener.accept();
    const std::string rest = "TTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                             "fffffffffffffffe\r\n0\r\n\r\nHTTP/1.1 200 OK\r\n\r\n";
    ASSERT_EQ(::send(peer, rest.data(), rest.size(), 0), static_cast<ssize_t>(rest.size()));
    EXPECT_FALSE(log4cplus::helpers::readRestOfHttpResponse(socket, 'H'));
    EXPECT_FALSE(socket.isOpen());
    ::close(peer);
}

}  // namespace
