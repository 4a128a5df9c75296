#include "platform/net_socket.h"

#include <fcntl.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "platform/address_loop.h"

namespace dravenholt::mbed {

namespace {

// How far past the deadline the socket's own receive timeout may end before it is set anew.
constexpr int64_t kReceiveSlackMs = 5;

int sendError(int error) {
    switch (error) {
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EINTR: return MBEDTLS_ERR_SSL_WANT_WRITE;
        case EPIPE:
        case ECONNRESET: return MBEDTLS_ERR_NET_CONN_RESET;
        default: return MBEDTLS_ERR_NET_SEND_FAILED;
    }
}

bool wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINPROGRESS; }

// Waits until the descriptor is ready for `events` or the deadline passes: 1 ready (which
// includes an error to be read), 0 the deadline passed, -1 poll failed.
int waitFor(int fd, short events, Clock::time_point deadline) {
    for (int64_t left; (left = msLeft(deadline)) > 0;) {
        pollfd entry{fd, events, 0};
        int ready = ::poll(&entry, 1, static_cast<int>(std::min<int64_t>(left, INT_MAX)));
        if (ready > 0) return 1;
        if (ready < 0 && errno != EINTR) return -1;
    }
    return 0;
}

bool setFlag(int fd, int get, int set, int flag, bool on) {
    int flags = ::fcntl(fd, get);
    return flags >= 0 && ::fcntl(fd, set, on ? flags | flag : flags & ~flag) == 0;
}

// One address: 0 connected, or the error code; the descriptor is closed on failure.
int connectOne(const addrinfo& address, Clock::time_point deadline, int& fd) {
    fd = ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (fd < 0) return MBEDTLS_ERR_NET_SOCKET_FAILED;
    int ret = MBEDTLS_ERR_NET_CONNECT_FAILED;
    if (!setFlag(fd, F_GETFD, F_SETFD, FD_CLOEXEC, true) || !setFlag(fd, F_GETFL, F_SETFL, O_NONBLOCK, true)) {
        ret = MBEDTLS_ERR_NET_SOCKET_FAILED;
    } else if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0 || wouldBlock(errno) || errno == EINTR) {
        int ready = waitFor(fd, POLLOUT, deadline);
        int error = 0;
        socklen_t size = sizeof error;
        if (ready == 0) {
            ret = MBEDTLS_ERR_SSL_TIMEOUT;
        } else if (ready > 0 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0) {
            // Receives wait in the socket with its own timeout; sends never block (sendBy).
            if (setFlag(fd, F_GETFL, F_SETFL, O_NONBLOCK, false)) return 0;
            ret = MBEDTLS_ERR_NET_SOCKET_FAILED;
        }
    }
    ::close(fd);
    fd = -1;
    return ret;
}

bool setReceiveTimeout(int fd, int64_t ms) {
    timeval limit{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000) * 1000};
    return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0;
}

}  // namespace

int sendNoSignal(void* context, const unsigned char* data, size_t length) {
    int fd = static_cast<mbedtls_net_context*>(context)->fd;
    if (fd < 0) return MBEDTLS_ERR_NET_INVALID_CONTEXT;
    ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
    return sent >= 0 ? static_cast<int>(sent) : sendError(errno);
}

void releaseSocketHandle(mbedtls_net_context& socket) {
    // Closing the descriptor leaves the socket open in the other process and sends nothing;
    // mbedtls_net_free would shut it down for both.
    if (socket.fd >= 0) ::close(socket.fd);
    socket.fd = -1;
}

int connectBy(TimedSocket& socket, const char* host, const char* port) {
    return connectToFirst(host, port, [&socket](const addrinfo& address) {
        return connectOne(address, socket.deadline, socket.net.fd);
    });
}

int sendBy(void* context, const unsigned char* data, size_t length) {
    const TimedSocket& socket = *static_cast<TimedSocket*>(context);
    int fd = socket.net.fd;
    if (fd < 0) return MBEDTLS_ERR_NET_INVALID_CONTEXT;
    for (;;) {
        ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0) return static_cast<int>(sent);
        if (errno == EINTR) continue;
        if (!wouldBlock(errno)) return sendError(errno);
        int ready = waitFor(fd, POLLOUT, socket.deadline);
        if (ready == 0) return MBEDTLS_ERR_SSL_TIMEOUT;
        if (ready < 0) return MBEDTLS_ERR_NET_SEND_FAILED;
    }
}

int receiveBy(void* context, unsigned char* buffer, size_t length) {
    TimedSocket& socket = *static_cast<TimedSocket*>(context);
    int fd = socket.net.fd;
    if (fd < 0) return MBEDTLS_ERR_NET_INVALID_CONTEXT;
    for (;;) {
        int64_t left = std::min<int64_t>(msLeft(socket.deadline), UINT32_MAX);
        if (left == 0) return MBEDTLS_ERR_SSL_TIMEOUT;
        if (socket.waitMs == 0 || socket.waitMs > left + kReceiveSlackMs) {
            if (!setReceiveTimeout(fd, left)) return MBEDTLS_ERR_NET_RECV_FAILED;
            socket.waitMs = static_cast<uint32_t>(left);
        }
        ssize_t got = ::recv(fd, buffer, length, 0);
        if (got >= 0) return static_cast<int>(got);
        switch (errno) {
            case EINTR: continue;
            case EAGAIN:
#if EWOULDBLOCK != EAGAIN
            case EWOULDBLOCK:
#endif
                // The socket's timeout, set for an earlier, shorter wait, may have ended before
                // the deadline: set it to what is left and wait on.
                socket.waitMs = 0;
                continue;
            case EPIPE:
            case ECONNRESET: return MBEDTLS_ERR_NET_CONN_RESET;
            default: return MBEDTLS_ERR_NET_RECV_FAILED;
        }
    }
}

bool hasUnreadInput(const mbedtls_net_context& socket) {
    if (socket.fd < 0) return true;
    unsigned char byte;
    for (;;) {
        ssize_t got = ::recv(socket.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (got >= 0) return true;  // bytes, or 0 for the peer's close
        if (errno == EINTR) continue;
        return errno != EAGAIN && errno != EWOULDBLOCK;
    }
}

}  // namespace dravenholt::mbed
