// The loopback world the installer talks to in a sandbox, on 127.0.0.1:80, routed by the Host
// header: the statistics and log hosts get their POSTs recorded, every other host is the download
// host and is served from a folder (GET and HEAD, single byte ranges).
//
//   demo_server <files folder> <record folder> <statistics host> <log host> [--fail-downloads]
//
// "--fail-downloads" answers 500 for every ".zip". Records: "<record>/requests" gets one line per
// request ("<host> <method> <path> <body lines>"), "<record>/bodies" every POST body. A file
// "<record>/ready" appears once the port listens; SIGTERM ends the server.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

namespace {

volatile std::sig_atomic_t stopping = 0;

struct Request {
    std::string method;
    std::string path;
    std::string host;
    std::string range;
    std::string body;
};

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    const auto last = text.find_last_not_of(" \t\r");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

bool readRequest(int fd, Request& request) {
    std::string data;
    char buffer[65536];
    std::size_t headerEnd;
    while ((headerEnd = data.find("\r\n\r\n")) == std::string::npos) {
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) {
            return false;
        }
        data.append(buffer, static_cast<std::size_t>(got));
    }
    std::istringstream head(data.substr(0, headerEnd));
    std::string line;
    std::getline(head, line);
    std::istringstream requestLine(line);
    requestLine >> request.method >> request.path;
    std::size_t length = 0;
    while (std::getline(head, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        const std::string name = lower(trim(line.substr(0, colon)));
        const std::string value = trim(line.substr(colon + 1));
        if (name == "host") {
            request.host = lower(value.substr(0, value.find(':')));
        } else if (name == "content-length") {
            length = std::stoul(value);
        } else if (name == "range") {
            request.range = value;
        }
    }
    request.body = data.substr(headerEnd + 4);
    while (request.body.size() < length) {
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) {
            break;
        }
        request.body.append(buffer, static_cast<std::size_t>(got));
    }
    return true;
}

void sendAll(int fd, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

void answer(int fd, int status, const char* reason, const std::string& headers, const std::string& body, bool withBody) {
    std::ostringstream out;
    out << "HTTP/1.1 " << status << ' ' << reason << "\r\nConnection: close\r\n" << headers
        << "Content-Length: " << body.size() << "\r\n\r\n";
    sendAll(fd, out.str() + (withBody ? body : std::string()));
}

void serveFile(int fd, const Request& request, const std::string& folder, bool failDownloads) {
    const bool head = request.method == "HEAD";
    if (request.path.find("..") != std::string::npos) {
        answer(fd, 404, "Not Found", "", "", !head);
        return;
    }
    if (failDownloads && request.path.ends_with(".zip")) {
        answer(fd, 500, "Internal Server Error", "", "failing on purpose\n", !head);
        return;
    }
    std::ifstream file(folder + request.path, std::ios::binary);
    if (!file) {
        answer(fd, 404, "Not Found", "", "", !head);
        return;
    }
    const std::string whole{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    std::size_t from = 0;
    std::size_t to = whole.size();
    if (request.range.starts_with("bytes=")) {
        const std::string spec = request.range.substr(6);
        const auto dash = spec.find('-');
        from = std::stoul(spec.substr(0, dash));
        if (dash != std::string::npos && dash + 1 < spec.size()) {
            to = std::min(to, std::stoul(spec.substr(dash + 1)) + 1);
        }
        if (from >= whole.size()) {
            answer(fd, 416, "Range Not Satisfiable", "Content-Range: bytes */" + std::to_string(whole.size()) + "\r\n", "",
                   !head);
            return;
        }
        answer(fd, 206, "Partial Content",
               "Accept-Ranges: bytes\r\nContent-Range: bytes " + std::to_string(from) + "-" + std::to_string(to - 1) + "/" +
                   std::to_string(whole.size()) + "\r\n",
               whole.substr(from, to - from), !head);
        return;
    }
    answer(fd, 200, "OK", "Accept-Ranges: bytes\r\n", whole, !head);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::cerr << "usage: demo_server <files folder> <record folder> <statistics host> <log host> [--fail-downloads]\n";
        return 2;
    }
    const std::string folder = argv[1];
    const std::string record = argv[2];
    const std::string statisticsHost = lower(argv[3]);
    const std::string logHost = lower(argv[4]);
    const bool failDownloads = argc > 5 && std::strcmp(argv[5], "--fail-downloads") == 0;

    struct sigaction action = {};
    action.sa_handler = [](int) { stopping = 1; };
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(80);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 64) != 0) {
        std::perror("demo_server: cannot listen on 127.0.0.1:80");
        return 1;
    }
    std::ofstream(record + "/ready");
    std::ofstream requests(record + "/requests", std::ios::app);
    std::ofstream bodies(record + "/bodies", std::ios::binary | std::ios::app);

    while (stopping == 0) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;  // interrupted by the ending signal, or a failed connection
        }
        // A client that connects and stays silent must not hold the others back.
        const timeval limit{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        Request request;
        if (readRequest(fd, request)) {
            const auto lines = std::count(request.body.begin(), request.body.end(), '\n');
            requests << request.host << ' ' << request.method << ' ' << request.path << ' ' << lines << std::endl;
            if (request.host == statisticsHost || request.host == logHost) {
                bodies << request.body << std::flush;
                answer(fd, 200, "OK", "Content-Type: text/plain\r\n", "ok", true);
            } else {
                serveFile(fd, request, folder, failDownloads);
            }
        }
        close(fd);
    }
    close(listener);
    return 0;
}
