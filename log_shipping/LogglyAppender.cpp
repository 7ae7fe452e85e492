#include "log_shipping/LogglyAppender.h"

#include "log_shipping/HttpResponse.h"

#include <log4cplus/helpers/loglog.h>
#include <log4cplus/helpers/socketbuffer.h>
#include <log4cplus/helpers/timehelper.h>
#include <log4cplus/loglevel.h>
#include <log4cplus/mdc.h>
#include <log4cplus/spi/loggingevent.h>
#include <log4cplus/thread/syncprims-pub-impl.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <exception>
#include <string_view>
#include <utility>

namespace log4cplus {

namespace {

const std::string platformString = "Mac";

constexpr std::size_t maxLineBytes = 921600;
constexpr std::size_t maxQueuedLines = 1000;
constexpr std::size_t batchLines = 20;
constexpr std::size_t batchBytes = 4608000;
constexpr unsigned long flushIntervalMilliseconds = 8000;
constexpr unsigned short servicePort = 80;

// Whether any of the eight bytes from `bytes` on is a control character, a quotation mark or a
// reverse solidus: (x - 0x01..) & ~x & 0x80.. marks a byte of x below 0x01, that is a zero byte,
// and a matching byte is zero after the exclusive or.
bool anyNeedsEscape(const char* bytes) {
    constexpr std::uint64_t ones = 0x0101010101010101;
    constexpr std::uint64_t highBits = 0x8080808080808080;
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    const auto below = [word](std::uint64_t limit) { return (word - ones * limit) & ~word & highBits; };
    const auto zeroByte = [](std::uint64_t x) { return (x - ones) & ~x & highBits; };
    return (below(0x20) | zeroByte(word ^ (ones * '"')) | zeroByte(word ^ (ones * '\\'))) != 0;
}

// A JSON string's content (RFC 8259, section 7): quotation mark, reverse solidus and the
// control characters are escaped, every other byte passes unchanged. Runs of bytes that need
// no escape, nearly all of a line, are skipped eight at a time and copied whole.
void appendEscaped(std::string& out, std::string_view value) {
    static const char hexDigits[] = "0123456789abcdef";
    const char* const bytes = value.data();
    std::size_t unescaped = 0;  // the first byte not yet copied
    std::size_t next = 0;
    while (next < value.size()) {
        if (value.size() - next >= 8 && !anyNeedsEscape(bytes + next)) {
            next += 8;
            continue;
        }
        const auto c = static_cast<unsigned char>(bytes[next++]);
        if (c >= 0x20 && c != '"' && c != '\\') {
            continue;
        }
        out.append(bytes + unescaped, next - 1 - unescaped);
        unescaped = next;
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            out += "\\u00";
            out += hexDigits[c >> 4];
            out += hexDigits[c & 0x0f];
        }
    }
    out.append(bytes + unescaped, value.size() - unescaped);
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

// One line: the calling thread's context entries in key order, then the event's fields.
std::string formatEvent(const spi::InternalLoggingEvent& event) {
    const MappedDiagnosticContextMap& context = getMDC().getContext();
    const tstring& level = getLogLevelManager().toString(event.getLogLevel());
    // Room for the fixed text and the values unescaped, so that a line is built without growing.
    std::size_t size = 160 + event.getThread().size() + event.getLoggerName().size() + event.getMessage().size() +
                       level.size();
    for (const auto& [key, value] : context) {
        size += key.size() + value.size() + 8;
    }
    std::string line;
    line.reserve(size);
    line += '{';
    for (const auto& [key, value] : context) {
        line += '"';
        appendEscaped(line, key);
        line += "\":\"";
        appendEscaped(line, value);
        line += "\", ";
    }
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

// False when the oldest line had to go to make room.
bool pushEvent(std::deque<std::string>& events, std::string&& line) {
    events.push_back(std::move(line));
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
    if (!pushEvent(events, std::move(line))) {
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
