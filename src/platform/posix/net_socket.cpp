#include "transport/net_socket.h"

#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>
#include <sys/socket.h>
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

}  // namespace dravenholt::mbed
