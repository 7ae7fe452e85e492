#pragma once

#include "log_shipping/BoundedSocket.h"
#include "log_shipping/FlusherThread.h"

#include <log4cplus/appender.h>
#include <log4cplus/helpers/pointer.h>
#include <log4cplus/helpers/property.h>
#include <log4cplus/tstring.h>

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

namespace log4cplus {

// Ships every logging event as one JSON line to the bulk endpoint of the remote log service.
// A logging thread only queues its line (at most 1000, the oldest dropped); once 20 lines or
// more than a request's bytes wait, it hands them to the flusher thread, which posts them over
// HTTP/1.1 in requests of up to 20 lines at once and in order. The flusher also posts the whole
// queue every 8 seconds, and close posts what is left. After a failed post, handed lines wait
// for the next period. No lock that a logging thread takes is held across the network.
class LogglyAppender : public Appender, protected virtual helpers::IFlusherThreadClient {
public:
    // Reads "logServer", "token", "currentHost" and "IPv6" besides the common appender keys.
    explicit LogglyAppender(const helpers::Properties& properties);
    LogglyAppender(const tstring& logServer, const tstring& token, const tstring& currentHost, bool ipv6);
    ~LogglyAppender() override;

    // Stops the flusher thread, then posts what is left. Must not be called by a thread that
    // holds access_mutex.
    void close() override;

protected:
    void append(const spi::InternalLoggingEvent& event) override;
    // Posts the whole queue; any thread that does not hold access_mutex.
    void ftcFlush() override;
    // Posts the lines handed over, unless a post failed since the last period.
    void ftcFlushRequested() override;

private:
    void initFlusherThread();
    // Posts the lines handed over (first the whole queue, when `everything`) in batches over
    // one connection. Takes access_mutex only between requests; must not be called with it held.
    void sendEvents(bool everything);
    void openSocket();
    // Writes one request and waits for the first byte of the response.
    bool sendRequest(const std::string& request);

    // Serialises the posts; guards socket.
    std::mutex posting;
    helpers::BoundedSocket socket;
    tstring logServer;
    tstring token;
    tstring currentHost;
    bool ipv6;
    // Under access_mutex: the queue, how many lines at its front are handed to the poster and
    // how many of those are in the request under way, and whether a post failed since the
    // last period.
    std::deque<std::string> events;
    std::size_t handedOver = 0;
    std::size_t inFlight = 0;
    bool postFailed = false;
    helpers::SharedObjectPtr<helpers::FlusherThread> flusher;
};

}  // namespace log4cplus
