#pragma once

#include "log_shipping/BoundedSocket.h"
#include "log_shipping/FlusherThread.h"

#include <log4cplus/appender.h>
#include <log4cplus/helpers/pointer.h>
#include <log4cplus/helpers/property.h>
#include <log4cplus/tstring.h>

#include <deque>
#include <string>

namespace log4cplus {

// Ships every logging event as one JSON line to the bulk endpoint of the remote log service.
// Lines are queued and posted over HTTP/1.1 in requests of up to 20 lines: by the logging
// thread once the queue is full enough, by the flusher thread every 8 seconds, and by close.
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
    void ftcFlush() override;

private:
    void initFlusherThread();
    // Posts the whole queue in batches over one connection; call under access_mutex.
    void sendEvents();
    void openSocket();
    // Writes one request and waits for the first byte of the response.
    bool sendRequest(const std::string& request);

    helpers::BoundedSocket socket;
    tstring logServer;
    tstring token;
    tstring currentHost;
    bool ipv6;
    std::deque<std::string> events;
    helpers::SharedObjectPtr<helpers::FlusherThread> flusher;
};

}  // namespace log4cplus
