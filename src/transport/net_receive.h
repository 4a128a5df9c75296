// Socket receiving for mbedtls without a select() before every read: the read timeout is the
// socket's own (SO_RCVTIMEO), set once per connection, so each read is a single system call.
#pragma once

#include <cstddef>
#include <cstdint>

#include <mbedtls/net_sockets.h>

namespace dravenholt::mbed {

// Makes reads on the socket give up after `ms` milliseconds (0: wait without limit). False
// when the socket refuses the option.
bool setReceiveTimeout(mbedtls_net_context& socket, uint32_t ms);

// Matches mbedtls_ssl_recv_t over an mbedtls_net_context: mbedtls_net_recv's results, with a
// read that ran into the socket's timeout reported as MBEDTLS_ERR_SSL_TIMEOUT.
int receiveWithTimeout(void* context, unsigned char* buffer, size_t length);

// Whether an idle socket has something to read now, without waiting or consuming it: bytes,
// the peer's close, or an error. One system call.
bool hasUnreadInput(const mbedtls_net_context& socket);

}  // namespace dravenholt::mbed
