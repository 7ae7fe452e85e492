#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// An HTTP/1.1 server on 127.0.0.1 that records every request: files answered to HEAD and to GET
// with byte ranges, ETag and Accept-Ranges, with the faults real servers show, or one fixed reply
// for every request (a receiver of posts), on connections closed after it or kept open. Each
// connection is served on its own thread; everything stops with the object.
class HttpTestServer {
public:
    enum class FaultKind {
        IgnoreRange,  // answers 200 with the whole file although a range was asked for
        Drop,         // sends the head and `bytes` bytes of the body, then closes the connection
        Status,       // answers `status` with a small error page
        Stall,        // sends the head and `bytes` bytes, then nothing until the client leaves
        Refuse416,    // answers a range request with 416 and "bytes */<size>"
        Throttle,     // sends at about `bytesPerSecond`, after the first `bytes` bytes at full speed
        RangeFromStart,  // answers a range request with 206 and the file from its first byte
        ShortRange,      // answers a range request with 206 and only the next `bytes` bytes
        StatedLength,    // answers with the right range (or the whole file), but a body of
                         // `bytes` bytes stated as such (the file's rest, then filler)
        StatedTotal,     // answers a range request with 206 as if the file were `bytes` long:
                         // the range up to there, with that total
        OpenEndedRange,  // answers a range request with 206 and "bytes <first>-<last>/*", then only
                         // `bytes` bytes of it, stating no length
        Encoded,         // answers as usual, but says the body is compressed ("Content-Encoding: gzip")
        Delay,        // answers as usual after `delayMilliseconds`
    };
    struct Fault {
        FaultKind kind;
        std::uint64_t bytes = 0;
        int status = 500;
        std::uint64_t bytesPerSecond = 0;
        int times = 1;  // the number of GET requests it spoils; -1 for all
        std::uint64_t delayMilliseconds = 0;
    };
    struct Request {
        int connection = 0;  // 1 for the first accepted connection
        std::string method;
        std::string path;
        std::string range;    // the Range header's value, empty when none
        std::string ifRange;  // the If-Range header's value
        std::string head;     // request line and headers, up to and including the blank line
        std::string raw;      // head and body (by its Content-Length), byte for byte
        std::string body;
        std::vector<std::string> lines() const;  // the body split after each CR LF
    };

    // Port 0 takes any free port.
    explicit HttpTestServer(std::uint16_t port = 0);
    // One that gives every request `reply`, as setReply() does.
    HttpTestServer(std::uint16_t port, std::string reply) : HttpTestServer(port) { setReply(std::move(reply)); }
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    std::uint16_t port() const { return _port; }
    std::string url(const std::string& path) const;

    // `statesLength` false leaves out Content-Length (the body then ends with the connection);
    // `statesValidator` false leaves out the ETag (ranges are still served).
    void serve(const std::string& path, std::string body, bool statesLength = true, bool statesValidator = true);
    // A file of `size` bytes made on the fly (byte i is generatedByte(i)), for large transfers.
    void serveGenerated(const std::string& path, std::uint64_t size);
    static char generatedByte(std::uint64_t index);
    // Every request, whatever its path, gets these bytes and the connection is closed; an empty
    // reply accepts the request and stays silent until the client leaves. With `keepOpen` the
    // connection stays open after each reply (or silence) and its next requests are read alike.
    void setReply(std::string reply, bool keepOpen = false);
    // The reply goes out one byte at a time, this long apart (0: all at once).
    void setReplyPace(std::chrono::milliseconds perByte);
    // The request with this overall number (1-based; 0 for none) gets no reply: its connection is
    // closed instead.
    void dropRequest(int number);

    // Faults of one path spoil its GET requests in the order they were added.
    void addFault(const std::string& path, Fault fault);

    std::vector<Request> requests() const;
    std::vector<std::string> bodies() const;
    int connections() const;
    // Waits until `count` requests have arrived; false when they have not within the timeout.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    struct File {
        std::string body;
        std::uint64_t generatedSize = 0;  // 0 unless the file is generated
        bool statesLength = true;
        bool statesValidator = true;
        std::uint64_t size() const { return generatedSize > 0 ? generatedSize : body.size(); }
    };
    void acceptLoop();
    void serveConnection(int fd, int connection);
    bool readRequest(int fd, std::string& pending, Request& request);
    bool sendReply(int fd, const std::string& reply, std::chrono::milliseconds pace);
    void respond(int fd, const Request& request, const std::optional<std::string>& reply, std::chrono::milliseconds pace);
    void joinFinished();
    bool sendBody(int fd, const File& file, std::uint64_t from, std::uint64_t count, std::uint64_t bytesPerSecond);
    void waitForClose(int fd);
    void finish(int fd);

    int _listener = -1;
    std::uint16_t _port = 0;
    std::atomic<bool> _stopping{false};
    mutable std::mutex _mutex;
    mutable std::condition_variable _arrived;
    std::map<std::string, File> _files;
    std::map<std::string, std::deque<Fault>> _faults;
    std::vector<Request> _requests;
    std::optional<std::string> _reply;
    bool _keepOpen = false;
    std::chrono::milliseconds _replyPace{0};
    int _droppedRequest = 0;
    int _accepted = 0;
    struct Connection {
        int fd;
        bool done = false;
        std::thread thread;
    };
    std::list<Connection> _connections;  // finished ones are joined at the next accept
    std::thread _acceptor;
};

}  // namespace testing_support
