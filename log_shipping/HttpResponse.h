#pragma once

#include <log4cplus/helpers/socket.h>

namespace log4cplus {
namespace helpers {

// Reads and discards the rest of one HTTP/1.1 response whose first byte has already been read,
// so that the next request on the connection is answered by a response of its own. The end is
// found from Content-Length, chunked transfer coding, or the end of the connection.
// False when the connection failed or ended; the socket is closed then.
bool readRestOfHttpResponse(Socket& socket, char firstByte);

}  // namespace helpers
}  // namespace log4cplus
