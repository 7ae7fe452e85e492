#include "log_shipping/HttpResponse.h"

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

namespace log4cplus {
namespace helpers {

namespace {

// Guards against a peer that sends an endless head or chunk-size line.
constexpr std::size_t maxHeadBytes = 65536;
constexpr std::size_t receiveBytes = 16384;

// The connection of one answer, what has been received of it and not used yet, and the time
// by which all of it must have arrived. Bytes received past the answer's end were sent before
// the next request, so they can answer no later request: they are dropped with the answer.
struct Answer {
    BoundedSocket& socket;
    std::chrono::steady_clock::time_point deadline;
    std::vector<char> received = std::vector<char>(receiveBytes);
    std::size_t next = 0;
    std::size_t end = 0;
};

// At least one unused byte; false when none came in time.
bool fill(Answer& answer) {
    if (answer.next == answer.end) {
        answer.next = 0;
        answer.end = answer.socket.readSomeBefore(answer.received.data(), answer.received.size(), answer.deadline);
    }
    return answer.next < answer.end;
}

bool readByte(Answer& answer, char& byte) {
    if (!fill(answer)) {
        return false;
    }
    byte = answer.received[answer.next++];
    return true;
}

// Appends bytes up to and including the next LF.
bool readLine(Answer& answer, std::string& text) {
    char byte = 0;
    do {
        if (text.size() >= maxHeadBytes || !readByte(answer, byte)) {
            return false;
        }
        text += byte;
    } while (byte != '\n');
    return true;
}

bool skipBytes(Answer& answer, std::size_t count) {
    while (count > 0) {
        if (!fill(answer)) {
            return false;
        }
        const std::size_t used = std::min(count, answer.end - answer.next);
        answer.next += used;
        count -= used;
    }
    return true;
}

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The value of a header in a lower-cased head, or npos.
std::string::size_type headerValue(const std::string& head, const std::string& name) {
    const std::string::size_type at = head.find("\r\n" + name + ":");
    return at == std::string::npos ? at : at + name.size() + 3;
}

bool skipChunkedBody(Answer& answer) {
    for (;;) {
        std::string sizeLine;
        if (!readLine(answer, sizeLine)) {
            return false;
        }
        const unsigned long long size = std::strtoull(sizeLine.c_str(), nullptr, 16);
        if (size == 0) {
            break;
        }
        // A size that leaves no room for the CR LF (a hostile peer, or one past the range read)
        // cannot be skipped: counting it would wrap round and leave its bytes on the connection.
        if (size > std::numeric_limits<std::size_t>::max() - 2) {
            answer.socket.close();
            return false;
        }
        if (!skipBytes(answer, static_cast<std::size_t>(size) + 2)) {  // the chunk and its CR LF
            return false;
        }
    }
    // Trailer fields up to the empty line.
    for (;;) {
        std::string trailer;
        if (!readLine(answer, trailer)) {
            return false;
        }
        if (trailer == "\r\n" || trailer == "\n") {
            return true;
        }
    }
}

bool skipToEndOfConnection(Answer& answer) {
    while (fill(answer)) {
        answer.next = answer.end;
    }
    return false;
}

// One head, from the byte already read up to the blank line, lower-cased.
bool readHead(Answer& answer, char firstByte, std::string& head) {
    head.assign(1, firstByte);
    while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
        if (!readLine(answer, head)) {
            return false;
        }
    }
    head = lowerCase(head);
    return true;
}

int statusOf(const std::string& head) {
    const std::string::size_type space = head.find(' ');
    return space == std::string::npos ? 0 : std::atoi(head.c_str() + space + 1);
}

bool readAnswer(Answer& answer, char firstByte) {
    std::string head;
    if (!readHead(answer, firstByte, head)) {
        return false;
    }
    // Interim responses: the final one follows, however many of them come.
    while (statusOf(head) >= 100 && statusOf(head) < 200) {
        char next = 0;
        if (!readByte(answer, next) || !readHead(answer, next, head)) {
            return false;
        }
    }
    const int status = statusOf(head);
    if (status == 204 || status == 304) {
        return true;
    }
    const std::string::size_type coding = headerValue(head, "transfer-encoding");
    if (coding != std::string::npos && head.find("chunked", coding) < head.find("\r\n", coding)) {
        return skipChunkedBody(answer);
    }
    const std::string::size_type length = headerValue(head, "content-length");
    if (length != std::string::npos) {
        return skipBytes(answer, std::strtoull(head.c_str() + length, nullptr, 10));
    }
    return skipToEndOfConnection(answer);
}

}  // namespace

bool readRestOfHttpResponse(BoundedSocket& socket, char firstByte) {
    if (firstByte != 'H') {
        return true;  // not "HTTP/": a service that answers with any byte
    }
    Answer answer{socket, std::chrono::steady_clock::now() + std::chrono::seconds(answerTimeoutSeconds)};
    return readAnswer(answer, firstByte);
}

}  // namespace helpers
}  // namespace log4cplus
