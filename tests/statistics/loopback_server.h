#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// An HTTP receiver on 127.0.0.1 that records each request (headers and body) and answers
// with a fixed reply; an empty reply means "accept and stay silent".
class LoopbackServer {
public:
    explicit LoopbackServer(std::string reply, unsigned short port = 80);
    ~LoopbackServer();

    std::vector<std::string> requests();
    // Bodies of the recorded requests (text after the blank line).
    std::vector<std::string> bodies();

private:
    void serve();

    std::string _reply;
    int _listener = -1;
    std::atomic<bool> _stopping{false};
    std::mutex _mutex;
    std::vector<std::string> _requests;
    std::thread _thread;
};
