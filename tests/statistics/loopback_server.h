#pragma once

#include "support/http_test_server.h"

#include <string>
#include <vector>

// A receiver of statistics posts on 127.0.0.1: the shared loopback server answering every
// request with a fixed reply; an empty reply means "accept and stay silent".
class LoopbackServer : public testing_support::HttpTestServer {
public:
    explicit LoopbackServer(std::string reply, unsigned short port = 80) : HttpTestServer(port) {
        setReply(std::move(reply));
    }

    // Each request as it arrived: head and body.
    std::vector<std::string> requests() const {
        std::vector<std::string> raw;
        for (const auto& request : HttpTestServer::requests()) {
            raw.push_back(request.raw);
        }
        return raw;
    }
};
