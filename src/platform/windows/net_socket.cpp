#include "transport/net_socket.h"

#include <mbedtls/ssl.h>
#include <winsock2.h>

namespace dravenholt::mbed {

// Winsock raises no signal on a closed connection: send() fails with WSAECONNRESET, which
// mbedtls's own function reports as MBEDTLS_ERR_NET_CONN_RESET.
int sendNoSignal(void* context, const unsigned char* data, size_t length) {
    return mbedtls_net_send(context, data, length);
}

// Windows has no fork(), so no socket is ever shared this way; the handle is simply closed.
void releaseSocketHandle(mbedtls_net_context& socket) {
    if (socket.fd >= 0) ::closesocket(static_cast<SOCKET>(socket.fd));
    socket.fd = -1;
}

bool keepFromChildPrograms(mbedtls_net_context& socket) {
    return socket.fd >= 0 &&
           ::SetHandleInformation(reinterpret_cast<HANDLE>(static_cast<SOCKET>(socket.fd)), HANDLE_FLAG_INHERIT, 0);
}

// SO_RCVTIMEO takes a DWORD of milliseconds here. After a read that timed out Winsock leaves the
// connection in an unknown state; the transport never reads on after one, it reconnects.
bool setReceiveTimeout(mbedtls_net_context& socket, uint32_t ms) {
    DWORD limit = ms;
    return socket.fd >= 0 && ::setsockopt(static_cast<SOCKET>(socket.fd), SOL_SOCKET, SO_RCVTIMEO,
                                          reinterpret_cast<const char*>(&limit), sizeof limit) == 0;
}

int receiveWithTimeout(void* context, unsigned char* buffer, size_t length) {
    int fd = static_cast<mbedtls_net_context*>(context)->fd;
    if (fd < 0) return MBEDTLS_ERR_NET_INVALID_CONTEXT;
    int capacity = length > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(length);
    int got = ::recv(static_cast<SOCKET>(fd), reinterpret_cast<char*>(buffer), capacity, 0);
    if (got != SOCKET_ERROR) return got;
    switch (::WSAGetLastError()) {
        case WSAETIMEDOUT: return MBEDTLS_ERR_SSL_TIMEOUT;
        case WSAEWOULDBLOCK:
        case WSAEINTR: return MBEDTLS_ERR_SSL_WANT_READ;
        case WSAECONNRESET:
        case WSAECONNABORTED: return MBEDTLS_ERR_NET_CONN_RESET;
        default: return MBEDTLS_ERR_NET_RECV_FAILED;
    }
}

bool hasUnreadInput(const mbedtls_net_context& socket) {
    if (socket.fd < 0) return true;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(static_cast<SOCKET>(socket.fd), &readable);
    timeval now{0, 0};
    // Readable covers bytes, the peer's close and a reset; an error counts as something to see to.
    return ::select(0, &readable, nullptr, nullptr, &now) != 0;
}

}  // namespace dravenholt::mbed
