// The socket send function given to mbedtls in place of its own: the same results, but a peer
// that has gone away yields an error instead of a signal that would end the whole process
// (SIGPIPE on POSIX systems; Windows sockets raise none, and mbedtls's own function serves).
#pragma once

#include <cstddef>

namespace dravenholt::mbed {

// Matches mbedtls_ssl_send_t; the context is an mbedtls_net_context.
int sendNoSignal(void* context, const unsigned char* data, size_t length);

}  // namespace dravenholt::mbed
