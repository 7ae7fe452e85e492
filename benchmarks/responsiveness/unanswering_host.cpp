// A host that never answers, for the responsiveness benchmark's sandbox (never outside it):
//
//   unanswering_host <IPv4 address> <port> drop|silent
//
// "drop": its listening queue is kept full with one connection of its own, so the kernel drops
// every further connection request unanswered, as a firewall that drops packets would.
// "silent": accepts every connection, reads whatever comes and never writes a byte.
// Runs until killed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

sockaddr_in addressOf(const char* host, const char* port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(port)));
    inet_pton(AF_INET, host, &address.sin_addr);
    return address;
}

int listener(const sockaddr_in& address, int backlog) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, backlog) != 0) {
        std::perror("unanswering_host: listen");
        std::exit(1);
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 || (std::string(argv[3]) != "drop" && std::string(argv[3]) != "silent")) {
        std::fprintf(stderr, "usage: unanswering_host <IPv4 address> <port> drop|silent\n");
        return 2;
    }
    const sockaddr_in address = addressOf(argv[1], argv[2]);
    if (std::string(argv[3]) == "drop") {
        // A backlog of 0 holds one connection that is never accepted; requests beyond it are dropped.
        const int fd = listener(address, 0);
        const int own = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(own, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            std::perror("unanswering_host: connect");
            return 1;
        }
        std::fprintf(stderr, "unanswering_host: dropping connections to %s:%s\n", argv[1], argv[2]);
        for (;;) {
            ::pause();
        }
        ::close(fd);
    }
    std::vector<pollfd> entries{{listener(address, 64), POLLIN, 0}};
    std::fprintf(stderr, "unanswering_host: silent on %s:%s\n", argv[1], argv[2]);
    char buffer[65536];
    for (;;) {
        if (::poll(entries.data(), entries.size(), -1) <= 0) {
            continue;
        }
        if ((entries[0].revents & POLLIN) != 0) {
            const int client = ::accept(entries[0].fd, nullptr, nullptr);
            if (client >= 0) {
                entries.push_back({client, POLLIN, 0});
            }
        }
        for (std::size_t i = 1; i < entries.size();) {
            if (entries[i].revents != 0 && ::read(entries[i].fd, buffer, sizeof buffer) <= 0) {
                ::close(entries[i].fd);
                entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(i));
                continue;
            }
            ++i;
        }
    }
}
