#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A loopback HTTP endpoint that records every request it reads. Connections are served one
// after another, as the appender never holds two at once.
class BulkEndpoint {
public:
    struct Request {
        int connection;    // 1 for the first accepted connection
        std::string raw;   // head and body, byte for byte
        std::string head;  // request line and headers, up to and including the blank line
        std::string body;
        std::vector<std::string> lines() const;  // the body split after each CR LF
    };

    explicit BulkEndpoint(std::uint16_t port = 80);
    ~BulkEndpoint();

    // The request with this overall number (1-based) is read but not answered: its connection
    // is closed instead.
    void failRequest(int number);
    // The bytes sent back for every answered request.
    void setAnswer(const std::string& answer);
    // The answer goes out one byte at a time, this long apart (0: all at once).
    void setAnswerPace(std::chrono::milliseconds perByte);
    // Requests are read but never answered; the connection stays open until the client closes it.
    void setSilent(bool silent);

    std::vector<Request> requests() const;
    int connections() const;
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    void serve();
    void serveConnection(int fd, int connection);
    bool readRequest(int fd, std::string& pending, Request& request);
    bool sendAnswer(int fd, const std::string& reply);

    int listener = -1;
    std::atomic<bool> stopping{false};
    std::atomic<bool> silent{false};
    std::atomic<int> failingRequest{0};
    std::atomic<std::chrono::milliseconds> answerPace{std::chrono::milliseconds(0)};
    std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 19\r\n\r\n"
                         "{\"response\" : \"ok\"}";
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<Request> recorded;
    int accepted = 0;
    std::thread server;
};
