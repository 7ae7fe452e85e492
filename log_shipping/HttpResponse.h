#pragma once

#include "log_shipping/BoundedSocket.h"

namespace log4cplus {
namespace helpers {

// The longest time the rest of one answer may take, counted from its first byte.
constexpr int answerTimeoutSeconds = 5;

// Reads and discards the rest of one HTTP/1.1 response whose first byte has already been read,
// so that the next request on the connection is answered by a response of its own. The end is
// found from Content-Length, chunked transfer coding, or the end of the connection; bytes that
// arrived with the answer past its end are dropped with it. A first byte that cannot begin a
// status line is the whole answer: nothing more is read. A chunk size too large to count is
// refused.
// The whole read ends within answerTimeoutSeconds; false when it did not, or the connection
// failed or ended, and the socket is closed then.
bool readRestOfHttpResponse(BoundedSocket& socket, char firstByte);

}  // namespace helpers
}  // namespace log4cplus
