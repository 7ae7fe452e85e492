#pragma once

#include "support/http_test_server.h"

#include <string>

// The log service's bulk endpoint on port 80 of 127.0.0.1: the shared loopback server, answering
// every post as the service does, on connections it keeps open.
class BulkEndpoint : public testing_support::HttpTestServer {
public:
    BulkEndpoint() : HttpTestServer(80) { setAnswer(accepted); }
    // The bytes sent back for every answered request.
    void setAnswer(const std::string& answer) { setReply(answer, true); }
    // Requests are read but never answered (false: answered as accepted again).
    void setSilent(bool silent) { setAnswer(silent ? "" : accepted); }

private:
    static constexpr const char* accepted =
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 19\r\n\r\n{\"response\" : \"ok\"}";
};
