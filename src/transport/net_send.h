// The socket send function given to mbedtls in place of its own: the same results, but a peer
// that has gone away yields an error instead of SIGPIPE, which would end the whole process.
#pragma once

#include <cstddef>

namespace dravenholt::mbed {

// Matches mbedtls_ssl_send_t; the context is an mbedtls_net_context.
int sendNoSignal(void* context, const unsigned char* data, size_t length);

}  // namespace dravenholt::mbed
