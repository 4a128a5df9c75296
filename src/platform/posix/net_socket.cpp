#include "transport/net_socket.h"

#include <fcntl.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

namespace dravenholt::mbed {

int sendNoSignal(void* context, const unsigned char* data, size_t length) {
    int fd = static_cast<mbedtls_net_context*>(context)->fd;
    if (fd < 0) return MBEDTLS_ERR_NET_INVALID_CONTEXT;
    ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
    if (sent >= 0) return static_cast<int>(sent);
    switch (errno) {
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

void releaseSocketHandle(mbedtls_net_context& socket) {
    // Closing the descriptor leaves the socket open in the other process and sends nothing;
    // mbedtls_net_free would shut it down for both.
    if (socket.fd >= 0) ::close(socket.fd);
    socket.fd = -1;
}

bool keepFromChildPrograms(mbedtls_net_context& socket) {
    int flags = socket.fd >= 0 ? ::fcntl(socket.fd, F_GETFD) : -1;
    return flags >= 0 && ::fcntl(socket.fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}

bool setReceiveTimeout(mbedtls_net_context& socket, uint32_t ms) {
    timeval limit{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000) * 1000};
    return socket.fd >= 0 && ::setsockopt(socket.fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0;
}

int receiveWithTimeout(void* context, unsigned char* buffer, size_t length) {
    int fd = static_cast<mbedtls_net_context*>(context)->fd;
    if (fd < 0) return MBEDTLS_ERR_NET_INVALID_CONTEXT;
    ssize_t got = ::recv(fd, buffer, length, 0);
    if (got >= 0) return static_cast<int>(got);
    switch (errno) {
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
            return MBEDTLS_ERR_SSL_TIMEOUT;
        case EINTR: return MBEDTLS_ERR_SSL_WANT_READ;
        case EPIPE:
        case ECONNRESET: return MBEDTLS_ERR_NET_CONN_RESET;
        default: return MBEDTLS_ERR_NET_RECV_FAILED;
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
