#pragma once

#include <log4cplus/helpers/socket.h>
#include <log4cplus/tstring.h>

#include <chrono>
#include <cstddef>
#include <string>

namespace log4cplus {
namespace helpers {

// Opens a client socket like the library's connectSocket, except that each address gets a
// non-blocking connect and a wait of at most 3 seconds. Only an immediate connect error or a
// failed wait moves on to the next address; a wait that times out or sees a refusal hands the
// socket back in blocking mode, and the failure shows at the first write or read.
SOCKET_TYPE connectSocketBounded(const tstring& host, unsigned short port, bool udp, bool ipv6,
                                 SocketState& state);

// A client stream socket of the library whose connect, writes and reads are all bounded in
// time, and whose write sends the whole buffer or fails.
class BoundedSocket : public Socket {
public:
    // Longest wait without progress for one send or receive on a connected socket.
    static constexpr int ioTimeoutSeconds = 5;

    BoundedSocket();
    // Connects with connectSocketBounded, then sets TCP_NODELAY and the send and receive
    // time-outs. Not open when no address could be tried.
    BoundedSocket(const tstring& host, unsigned short port, bool ipv6);
    // Takes over a descriptor that is already connected.
    BoundedSocket(SOCKET_TYPE descriptor, SocketState socketState, int error);
    BoundedSocket(BoundedSocket&&) noexcept;
    BoundedSocket& operator=(BoundedSocket&&) noexcept;
    ~BoundedSocket() override;

    // Sends every byte of the buffer, looping over partial sends. A dead peer, an error or a
    // send that makes no progress within the time-out closes the socket and gives false;
    // it never raises SIGPIPE.
    bool write(const std::string& buffer) override;
    using Socket::write;

    // Receives what has arrived, at most `size` bytes, waiting no later than `deadline`; the
    // number of bytes read. 0 when the peer ended the connection, the read failed or the
    // deadline passed first: the socket is closed then.
    std::size_t readSomeBefore(char* data, std::size_t size, std::chrono::steady_clock::time_point deadline);
};

}  // namespace helpers
}  // namespace log4cplus
