#include "log_shipping/LogglyAppender.h"

#include "log_shipping/HttpResponse.h"

#include <log4cplus/helpers/loglog.h>
#include <log4cplus/helpers/socketbuffer.h>
#include <log4cplus/helpers/timehelper.h>
#include <log4cplus/loglevel.h>
#include <log4cplus/mdc.h>
#include <log4cplus/spi/loggingevent.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <exception>
#include <iterator>
#include <string_view>
#include <utility>
#include <vector>

namespace log4cplus {

namespace {

const std::string platformString = "Mac";

constexpr std::size_t maxLineBytes = 921600;
constexpr std::size_t maxQueuedLines = 1000;
constexpr std::size_t batchLines = 20;
constexpr std::size_t batchBytes = 4608000;
constexpr unsigned long flushIntervalMilliseconds = 8000;
constexpr unsigned short servicePort = 80;

// Whether any byte of `value` is a control character, a quotation mark or a reverse solidus,
// looked at eight bytes at a time: (x - n * 0x0101..) & ~x & 0x8080.. is non-zero exactly when
// some byte of x is below n (for n up to 0x80). With n = 0x20 that finds the control characters;
// with n = 1 the zero bytes that a byte equal to c leaves in x ^ c * 0x0101...
bool needsEscape(std::string_view value) {
    constexpr std::uint64_t ones = 0x0101010101010101;
    constexpr std::uint64_t highBits = 0x8080808080808080;
    const auto matches = [](std::uint64_t word) {
        const auto below = [word](std::uint64_t limit) { return (word - ones * limit) & ~word & highBits; };
        const auto zeroByte = [](std::uint64_t x) { return (x - ones) & ~x & highBits; };
        return (below(0x20) | zeroByte(word ^ (ones * '"')) | zeroByte(word ^ (ones * '\\'))) != 0;
    };
    std::size_t next = 0;
    for (; value.size() - next >= 8; next += 8) {
        std::uint64_t word;
        std::memcpy(&word, value.data() + next, sizeof word);
        if (matches(word)) {
            return true;
        }
    }
    std::uint64_t rest = ones * 'a';  // the bytes past the end are plain
    std::memcpy(&rest, value.data() + next, value.size() - next);
    return matches(rest);
}

// A JSON string's content (RFC 8259, section 7): quotation mark, reverse solidus and the
// control characters are escaped, every other byte passes unchanged. Most values need no
// escape and are copied whole.
void appendEscaped(std::string& out, std::string_view value) {
    if (!needsEscape(value)) {
        out += value;
        return;
    }
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

// The library's date formatting costs more than the rest of a line, and lines come many to a
// second: each thread keeps the text of the last second it formatted and adds the milliseconds.
void appendTimestamp(std::string& out, const helpers::Time& time) {
    thread_local helpers::Time cachedSecond = helpers::Time::min();
    thread_local std::string cachedText;
    const auto second = std::chrono::floor<std::chrono::seconds>(time);
    if (second != cachedSecond) {
        cachedText = helpers::getFormattedTime(LOG4CPLUS_TEXT("%Y-%m-%dT%H:%M:%S."), second, true);
        cachedSecond = second;
    }
    const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(time - second).count();
    out += cachedText;
    out += static_cast<char>('0' + milliseconds / 100);
    out += static_cast<char>('0' + milliseconds / 10 % 10);
    out += static_cast<char>('0' + milliseconds % 10);
    out += 'Z';
}

// The text of the calling thread's context entries, in key order. They seldom change (the
// installer sets them once), so each thread keeps the text it made last and makes it again
// only when they differ.
const std::string& contextText(const MappedDiagnosticContextMap& context) {
    thread_local MappedDiagnosticContextMap cachedContext;
    thread_local std::string cachedText;
    if (context != cachedContext) {
        cachedText.clear();
        for (const auto& [key, value] : context) {
            cachedText += '"';
            appendEscaped(cachedText, key);
            cachedText += "\":\"";
            appendEscaped(cachedText, value);
            cachedText += "\", ";
        }
        cachedContext = context;
    }
    return cachedText;
}

// One line: the calling thread's context entries, then the event's fields.
std::string formatEvent(const spi::InternalLoggingEvent& event) {
    const std::string& context = contextText(getMDC().getContext());
    const tstring& level = getLogLevelManager().toString(event.getLogLevel());
    // Room for the fixed text and the values unescaped, so that a line is built without growing.
    std::string line;
    line.reserve(160 + context.size() + level.size() + event.getThread().size() + event.getLoggerName().size() +
                 event.getMessage().size());
    line += '{';
    line += context;
    line += "\"timestamp\":\"";
    appendTimestamp(line, event.getTimestamp());
    line += "\", \"level\":\"";
    appendEscaped(line, level);
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

// The bytes of the lines from position `first` on.
std::size_t bufferedBytes(const std::deque<std::string>& events, std::size_t first) {
    std::size_t bytes = 0;
    for (auto line = events.begin() + static_cast<std::ptrdiff_t>(first); line != events.end(); ++line) {
        bytes += line->size();
    }
    return bytes;
}

// Moves the next batch off the front into `batch`, taken from the first `available` lines: at
// most batchLines lines and batchBytes bytes. Only the strings move; their bytes are copied
// into a body later, outside the queue's lock.
void takeBatch(std::deque<std::string>& events, std::size_t available, std::vector<std::string>& batch) {
    std::size_t bytes = 0;
    while (batch.size() < available && batch.size() < batchLines) {
        std::string& line = events.front();
        if (bytes + line.size() > batchBytes) {
            break;
        }
        bytes += line.size();
        batch.push_back(std::move(line));
        events.pop_front();
    }
}

std::string buildBody(const std::vector<std::string>& batch) {
    std::size_t size = 0;
    for (const std::string& line : batch) {
        size += line.size();
    }
    std::string body;
    body.reserve(size);
    for (const std::string& line : batch) {
        body += line;
    }
    return body;
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

    bool dropped = false;
    bool handOver = false;
    {
        std::lock_guard guard(queueLock);
        events.push_back(std::move(line));
        if (events.size() + inFlight > maxQueuedLines) {
            // The oldest line goes: one of the request under way, which then does not come
            // back if the request fails (and is reported lost then, as an answered request has
            // delivered it), or else the front of the queue.
            if (inFlight > 0) {
                --inFlight;
            } else {
                events.pop_front();
                handedOver -= handedOver > 0 ? 1 : 0;
                dropped = true;
            }
        }
        // The lines not yet handed over are what a post would have found queued: a full
        // request's worth goes to the flusher at once.
        const std::size_t waiting = events.size() - handedOver;
        if (!postFailed && (waiting >= batchLines || bufferedBytes(events, handedOver) > batchBytes)) {
            handedOver = events.size();
            handOver = true;
        }
    }
    if (dropped) {
        reportDropped(1);
    }
    if (handOver) {
        flusher->requestFlush();
    }
}

void LogglyAppender::ftcFlush() { sendEvents(true); }

void LogglyAppender::ftcFlushRequested() { sendEvents(false); }

void LogglyAppender::sendEvents(bool everything) {
    std::lock_guard postingGuard(posting);
    {
        std::lock_guard guard(queueLock);
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
        std::lock_guard guard(queueLock);
        postFailed = true;
        return;
    }
    std::vector<std::string> batch;
    std::size_t lost = 0;
    for (;;) {
        batch.clear();  // the lines of the last request, posted: freed outside the queue's lock
        {
            std::lock_guard guard(queueLock);
            if (handedOver == 0) {
                break;
            }
            takeBatch(events, handedOver, batch);
            handedOver -= batch.size();
            inFlight = batch.size();
        }
        const bool accepted = sendRequest(buildRequest(buildBody(batch), logServer, token));
        std::lock_guard guard(queueLock);
        if (!accepted) {
            // Back to the front, handed over again; lines dropped meanwhile were taken off
            // inFlight from the oldest on, and are lost.
            lost = batch.size() - inFlight;
            events.insert(events.begin(), std::make_move_iterator(batch.end() - static_cast<std::ptrdiff_t>(inFlight)),
                          std::make_move_iterator(batch.end()));
            handedOver += inFlight;
            inFlight = 0;
            postFailed = true;
            break;
        }
        inFlight = 0;
    }
    socket.close();
    reportDropped(lost);
}

void LogglyAppender::reportDropped(std::size_t lines) {
    for (std::size_t line = 0; line < lines; ++line) {
        helpers::getLogLog().error(LOG4CPLUS_TEXT("LogglyAppender::append() - Exceed message buffer size"));
    }
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
