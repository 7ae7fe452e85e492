#include "log_shipping/HttpResponse.h"

#include <log4cplus/helpers/socketbuffer.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>

namespace log4cplus {
namespace helpers {

namespace {

// Guards against a peer that sends an endless head or chunk-size line.
constexpr std::size_t maxHeadBytes = 65536;
constexpr std::size_t skipChunkBytes = 65536;

bool readByte(Socket& socket, char& byte) {
    SocketBuffer buffer(1);
    if (!socket.read(buffer)) {
        return false;
    }
    byte = buffer.getBuffer()[0];
    return true;
}

// Appends bytes up to and including the next LF.
bool readLine(Socket& socket, std::string& text) {
    char byte = 0;
    do {
        if (text.size() >= maxHeadBytes || !readByte(socket, byte)) {
            return false;
        }
        text += byte;
    } while (byte != '\n');
    return true;
}

bool skipBytes(Socket& socket, std::size_t count) {
    while (count > 0) {
        SocketBuffer buffer(std::min(count, skipChunkBytes));
        if (!socket.read(buffer)) {
            return false;
        }
        count -= buffer.getSize();
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

bool skipChunkedBody(Socket& socket) {
    for (;;) {
        std::string sizeLine;
        if (!readLine(socket, sizeLine)) {
            return false;
        }
        const unsigned long size = std::strtoul(sizeLine.c_str(), nullptr, 16);
        if (size == 0) {
            break;
        }
        if (!skipBytes(socket, size + 2)) {  // the chunk and its CR LF
            return false;
        }
    }
    // Trailer fields up to the empty line.
    for (;;) {
        std::string trailer;
        if (!readLine(socket, trailer)) {
            return false;
        }
        if (trailer == "\r\n" || trailer == "\n") {
            return true;
        }
    }
}

bool skipToEndOfConnection(Socket& socket) {
    while (skipBytes(socket, skipChunkBytes)) {
    }
    return false;
}

}  // namespace

bool readRestOfHttpResponse(Socket& socket, char firstByte) {
    std::string head(1, firstByte);
    while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
        if (!readLine(socket, head)) {
            return false;
        }
    }
    head = lowerCase(head);

    const std::string::size_type space = head.find(' ');
    const int status = space == std::string::npos ? 0 : std::atoi(head.c_str() + space + 1);
    if (status >= 100 && status < 200) {
        // An interim response: the final one follows.
        char next = 0;
        return readByte(socket, next) && readRestOfHttpResponse(socket, next);
    }
    if (status == 204 || status == 304) {
        return true;
    }
    const std::string::size_type coding = headerValue(head, "transfer-encoding");
    if (coding != std::string::npos && head.find("chunked", coding) < head.find("\r\n", coding)) {
        return skipChunkedBody(socket);
    }
    const std::string::size_type length = headerValue(head, "content-length");
    if (length != std::string::npos) {
        return skipBytes(socket, std::strtoull(head.c_str() + length, nullptr, 10));
    }
    return skipToEndOfConnection(socket);
}

}  // namespace helpers
}  // namespace log4cplus
