// One HTTP/1.0 exchange over a POSIX TCP socket: connect (with a timeout),
// send the request, read until the peer closes (each wait with a timeout).
#ifndef TALLORY_PLATFORM_NET_HTTP_CLIENT_H
#define TALLORY_PLATFORM_NET_HTTP_CLIENT_H

#include <cstddef>
#include <string>

namespace tallory::platform::net {

struct HttpExchange {
    bool ok = false;         // connected, sent, and the peer closed normally
    std::string response;    // every byte received
    std::string error;       // why not ok
};

// A reply larger than `maxResponse` bytes is refused (ok false), never cut.
HttpExchange exchange(const std::string& host, int port, const std::string& request, int timeoutMs,
                      std::size_t maxResponse);

// The body of an HTTP response: everything after the first "\r\n\r\n" when
// it starts with "HTTP", else all of it.
std::string httpBody(const std::string& response);

}  // namespace tallory::platform::net

#endif
