#pragma once

#include <string>

namespace Statistics {

// Posts a body to a URL; true when the receiver is known to have got it (or, for a
// queued transport, when the body was accepted for later delivery).
class Transport {
public:
    virtual ~Transport() {}
    virtual bool send(const std::string& url, const std::string& body) = 0;
};

} // namespace Statistics
