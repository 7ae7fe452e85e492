#pragma once

#include <chrono>
#include <string>

namespace Statistics {

// Posts a body to a URL; true when the receiver is known to have got it (or, for a
// queued transport, when the body was accepted for later delivery).
class Transport {
public:
    using Deadline = std::chrono::steady_clock::time_point;

    virtual ~Transport() {}
    virtual bool send(const std::string& url, const std::string& body) = 0;

    // For a transport that holds bodies back: have what it holds now posted without waiting
    // for the next scheduled pass. Returns at once; any thread.
    virtual void flushSoon() {}
    // Waits for the pass that flushSoon asked for, but never past the deadline, whatever the
    // network does. True when that pass ended with nothing left held (at once for a
    // transport that holds nothing back).
    virtual bool waitFlushed(Deadline /*deadline*/) { return true; }
};

} // namespace Statistics
