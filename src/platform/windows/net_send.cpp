#include "transport/net_send.h"

#include <mbedtls/net_sockets.h>

namespace dravenholt::mbed {

// Winsock raises no signal on a closed connection: send() fails with WSAECONNRESET, which
// mbedtls's own function reports as MBEDTLS_ERR_NET_CONN_RESET.
int sendNoSignal(void* context, const unsigned char* data, size_t length) {
    return mbedtls_net_send(context, data, length);
}

}  // namespace dravenholt::mbed
