#include "transport/net_socket.h"

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

}  // namespace dravenholt::mbed
