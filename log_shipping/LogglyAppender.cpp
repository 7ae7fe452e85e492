#include "log_shipping/LogglyAppender.h"

#include "log_shipping/HttpResponse.h"

#include <log4cplus/helpers/loglog.h>
#include <log4cplus/helpers/socketbuffer.h>
#include <log4cplus/helpers/timehelper.h>
#include <log4cplus/loglevel.h>
#include <log4cplus/mdc.h>
#include <log4cplus/spi/loggingevent.h>
#include <log4cplus/thread/syncprims-pub-impl.h>

#include <exception>

namespace log4cplus {

namespace {

const std::string platformString = "Mac";

constexpr std::size_t maxLineBytes = 921600;
constexpr std::size_t maxQueuedLines = 1000;
constexpr std::size_t batchLines = 20;
constexpr std::size_t batchBytes = 4608000;
constexpr unsigned long flushIntervalMilliseconds = 8000;
constexpr unsigned short servicePort = 80;

// A JSON string's content (RFC 8259, section 7): quotation mark, reverse solidus and the
// control characters are escaped, every other byte passes unchanged.
void appendEscaped(std::string& out, const std::string& value) {
    static const char hexDigits[] = "0123456789abcdef";
    for (const char c : value) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                out += "\\u00";
                out += hexDigits[(c >> 4) & 0x0f];
                out += hexDigits[c & 0x0f];
            } else {
                out += c;
            }
        }
    }
}

std::string formatTimestamp(const helpers::Time& time) {
    return helpers::getFormattedTime(LOG4CPLUS_TEXT("%Y-%m-%dT%H:%M:%S.%q"), time, true) + "Z";
}

// One line: the calling thread's context entries in key order, then the event's fields.
std::string formatEvent(const spi::InternalLoggingEvent& event) {
    std::string line = "{";
    for (const auto& [key, value] : getMDC().getContext()) {
        line += "\"";
        appendEscaped(line, key);
        line += "\":\"";
        appendEscaped(line, value);
        line += "\", ";
    }
    line += "\"timestamp\":\"";
    appendEscaped(line, formatTimestamp(event.getTimestamp()));
    line += "\", \"level\":\"";
    appendEscaped(line, getLogLevelManager().toString(event.getLogLevel()));
    line += "\", \"threadName\":\"";
    appendEscaped(line, event.getThread());
    line += "\", \"loggerName\":\"";
    appendEscaped(line, event.getLoggerName());
    line += "\", \"platform\":\"";
    appendEscaped(line, platformString);
    line += "\", \"message\":\"";
    appendEscaped(line, event.getMessage());
    line += "\"}\r\n";
    return line;
}

// False when the oldest line had to go to make room.
bool pushEvent(std::deque<std::string>& events, const std::string& line) {
    events.push_back(line);
    if (events.size() > maxQueuedLines) {
        events.pop_front();
        helpers::getLogLog().error(LOG4CPLUS_TEXT("LogglyAppender::append() - Exceed message buffer size"));
        return false;
    }
    return true;
}

// The bytes of the lines from position `first` on.
std::size_t bufferedBytes(const std::deque<std::string>& events, std::size_t first) {
    std::size_t bytes = 0;
    for (auto line = events.begin() + static_cast<std::ptrdiff_t>(first); line != events.end(); ++line) {
        bytes += line->size();
    }
    return bytes;
}

// The next batch from the front, taken from the first `available` lines: at most batchLines
// lines and batchBytes bytes.
void buildBody(const std::deque<std::string>& events, std::size_t available, std::string& body, std::size_t& count) {
    body.clear();
    count = 0;
    while (count < available && count < batchLines) {
        const std::string& line = events[count];
        if (body.size() + line.size() > batchBytes) {
            break;
        }
        body += line;
        ++count;
    }
}

std::string buildRequest(const std::string& body, const tstring& logServer, const tstring& token) {
    std::string request = "POST /bulk/";
    request += token;
    request += "/tag/ravelune HTTP/1.1\r\nHost: ";
    request += logServer;
    request += "\r\nUser-Agent: log4cplus\r\nContent-type: text/plain\r\nContent-Length: ";
    request += std::to_string(body.size());
    request += "\r\n\r\n";
    request += body;
    return request;
}

void popEvents(std::deque<std::string>& events, std::size_t count) {
    for (; count > 0 && !events.empty(); --count) {
        events.pop_front();
    }
}

}  // namespace

LogglyAppender::LogglyAppender(const helpers::Properties& properties) : Appender(properties), ipv6(false) {
    logServer = properties.getProperty(LOG4CPLUS_TEXT("logServer"));
    token = properties.getProperty(LOG4CPLUS_TEXT("token"));
    currentHost = properties.getProperty(LOG4CPLUS_TEXT("currentHost"));
    properties.getBool(ipv6, LOG4CPLUS_TEXT("IPv6"));
    initFlusherThread();
}

LogglyAppender::LogglyAppender(const tstring& server, const tstring& customerToken, const tstring& host,
                               bool useIpv6)
    : logServer(server), token(customerToken), currentHost(host), ipv6(useIpv6) {
    initFlusherThread();
}

LogglyAppender::~LogglyAppender() {
    try {
        destructorImpl();
    } catch (...) {
        // A destructor must not throw; the library's shutdown has normally closed us already.
    }
}

void LogglyAppender::initFlusherThread() {
    flusher = helpers::SharedObjectPtr<helpers::FlusherThread>(
        new helpers::FlusherThread(*this, flushIntervalMilliseconds));
    flusher->start();
}

void LogglyAppender::close() {
    // The flusher is stopped once; a second close finds nothing left to do.
    if (closed) {
        return;
    }
    helpers::getLogLog().debug(LOG4CPLUS_TEXT("Entering LogglyAppender::close()..."));
    flusher->terminate();
    sendEvents(true);
    closed = true;
}

void LogglyAppender::append(const spi::InternalLoggingEvent& event) {
    std::string line;
    try {
        // Qualified: the base class has a formatEvent of its own that applies the layout.
        line = log4cplus::formatEvent(event);
    } catch (const std::exception& e) {
        helpers::getLogLog().error(LOG4CPLUS_TEXT("LogglyAppender::append() - ") + tstring(e.what()));
        return;
    }
    if (line.size() > maxLineBytes) {
        helpers::getLogLog().error(
            LOG4CPLUS_TEXT("LogglyAppender::append() - max message size exceeded, message ignored"));
        return;
    }

    thread::MutexGuard guard(access_mutex);
    if (!pushEvent(events, line)) {
        // The dropped line was the oldest: handed over, and perhaps in the request under way.
        handedOver -= handedOver > 0 ? 1 : 0;
        inFlight -= inFlight > 0 ? 1 : 0;
    }
    // The lines not yet handed over are what a post would have found queued: a full request's
    // worth goes to the flusher at once.
    const std::size_t waiting = events.size() - handedOver;
    if (!postFailed && (waiting >= batchLines || bufferedBytes(events, handedOver) > batchBytes)) {
        handedOver = events.size();
        flusher->requestFlush();
    }
}

void LogglyAppender::ftcFlush() { sendEvents(true); }

void LogglyAppender::ftcFlushRequested() { sendEvents(false); }

void LogglyAppender::sendEvents(bool everything) {
    std::lock_guard postingGuard(posting);
    {
        thread::MutexGuard guard(access_mutex);
        if (everything) {
            handedOver = events.size();
            postFailed = false;
        }
        if (handedOver == 0 || postFailed) {
            return;
        }
    }
    openSocket();
    if (!socket.isOpen()) {
        helpers::getLogLog().error(LOG4CPLUS_TEXT("LogglyAppender::append()- Cannot connect to server"));
        thread::MutexGuard guard(access_mutex);
        postFailed = true;
        return;
    }
    for (;;) {
        std::string body;
        std::size_t count = 0;
        {
            thread::MutexGuard guard(access_mutex);
            if (handedOver == 0) {
                break;
            }
            buildBody(events, handedOver, body, count);
            inFlight = count;
        }
        const bool accepted = sendRequest(buildRequest(body, logServer, token));
        thread::MutexGuard guard(access_mutex);
        if (accepted) {
            // Lines dropped meanwhile were taken off inFlight, so these are the ones posted.
            popEvents(events, inFlight);
            handedOver -= inFlight;
        }
        inFlight = 0;
        if (!accepted) {
            postFailed = true;
            break;
        }
    }
    socket.close();
}

void LogglyAppender::openSocket() {
    if (!socket.isOpen()) {
        socket = helpers::BoundedSocket(logServer, servicePort, ipv6);
    }
}

bool LogglyAppender::sendRequest(const std::string& request) {
    if (!socket.write(request)) {
        helpers::getLogLog().error(LOG4CPLUS_TEXT("LogglyAppender::flush()- Write request failed"));
        return false;
    }
    helpers::SocketBuffer response(1);
    if (!socket.read(response)) {
        helpers::getLogLog().error(LOG4CPLUS_TEXT("LogglyAppender::flush()- Get response failed"));
        return false;
    }
    // Any first byte accepts the request. The rest of the response is read as well, so that
    // the next request's first byte is its own answer and not a leftover of this one, and so
    // that closing leaves no unread data behind (which would reset the connection and could
    // make the service drop requests it had not read yet). If it cannot be read, the socket
    // is closed and the next request on it fails.
    helpers::readRestOfHttpResponse(socket, response.getBuffer()[0]);
    return true;
}

}  // namespace log4cplus
