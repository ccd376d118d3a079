#include "platform/net/http_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace tallory::platform::net {

namespace {

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

bool waitFor(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, timeoutMs);
    } while (rc < 0 && errno == EINTR);
    return rc > 0;
}

}  // namespace

HttpExchange exchange(const std::string& host, int port, const std::string& request, int timeoutMs,
                      std::size_t maxResponse) {
    HttpExchange x;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
        x.error = "cannot resolve " + host;
        return x;
    }
    Fd s;
    for (addrinfo* a = found; a != nullptr && s.fd < 0; a = a->ai_next) {
        Fd c;
        c.fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (c.fd < 0) continue;
        if (::connect(c.fd, a->ai_addr, a->ai_addrlen) == 0 ||
            (errno == EINPROGRESS && waitFor(c.fd, POLLOUT, timeoutMs))) {
            int err = 0;
            socklen_t len = sizeof err;
            if (::getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) std::swap(s.fd, c.fd);
        }
    }
    ::freeaddrinfo(found);
    if (s.fd < 0) {
        x.error = "cannot connect to " + host + ":" + service;
        return x;
    }
    std::size_t sent = 0;
    while (sent < request.size()) {
        if (!waitFor(s.fd, POLLOUT, timeoutMs)) {
            x.error = "timed out sending to " + host;
            return x;
        }
        const ssize_t n = ::send(s.fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) {
            x.error = "sending to " + host + " failed";
            return x;
        }
        sent += std::size_t(n);
    }
    // The whole exchange is bounded as well as each wait, so a server that
    // trickles bytes cannot hold the lookup for ever.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0 || !waitFor(s.fd, POLLIN, int(left))) {
            x.error = "no answer from " + host + " in time";
            return x;
        }
        const ssize_t n = ::recv(s.fd, buf, sizeof buf, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n < 0) {
            x.error = "receiving from " + host + " failed";
            return x;
        }
        if (n == 0) break;
        if (x.response.size() + std::size_t(n) > maxResponse) {
            x.error = "the answer of " + host + " is larger than " + std::to_string(maxResponse) + " bytes";
            return x;
        }
        x.response.append(buf, std::size_t(n));
    }
    x.ok = true;
    return x;
}

std::string httpBody(const std::string& response) {
    if (response.compare(0, 4, "HTTP") != 0) return response;
    const std::size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
}

}  // namespace tallory::platform::net
