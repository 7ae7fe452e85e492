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
// for the next period. No lock that a logging thread takes is held across the network: the
// queue has a lock of its own, held only to move lines in and out, never while a line is
// formatted (under the library's access_mutex) or posted.
class LogglyAppender : public Appender, protected virtual helpers::IFlusherThreadClient {
public:
    // Reads "logServer", "token", "currentHost" and "IPv6" besides the common appender keys.
    explicit LogglyAppender(const helpers::Properties& properties);
    LogglyAppender(const tstring& logServer, const tstring& token, const tstring& currentHost, bool ipv6);
    ~LogglyAppender() override;

    // Stops the flusher thread, then posts what is left.
    void close() override;

protected:
    void append(const spi::InternalLoggingEvent& event) override;
    // On the flusher thread: posts the whole queue.
    void ftcFlush() override;
    // On the flusher thread: posts the lines handed over, unless a post failed since the last
    // period.
    void ftcFlushRequested() override;

private:
    void initFlusherThread();
    // Posts the lines handed over (first the whole queue, when `everything`) in batches over
    // one connection. Takes queueLock only between requests, to move a batch out and, if its
    // request fails, back.
    void sendEvents(bool everything);
    void openSocket();
    // Writes one request and waits for the first byte of the response.
    bool sendRequest(const std::string& request);
    // One diagnostic for each line the queue's cap took that never reaches the service.
    static void reportDropped(std::size_t lines);

    // Serialises the posts; guards socket.
    std::mutex posting;
    helpers::BoundedSocket socket;
    tstring logServer;
    tstring token;
    tstring currentHost;
    bool ipv6;
    // Guards what follows: the lines waiting, oldest first; how many at the front are handed
    // to the poster; how many lines the request under way has taken out, less those dropped
    // meanwhile (the queue's cap counts them with the rest; they are lost, and reported, only
    // if that request fails); whether a post failed since the last period.
    std::mutex queueLock;
    std::deque<std::string> events;
    std::size_t handedOver = 0;
    std::size_t inFlight = 0;
    bool postFailed = false;
    helpers::SharedObjectPtr<helpers::FlusherThread> flusher;
};

}  // namespace log4cplus
