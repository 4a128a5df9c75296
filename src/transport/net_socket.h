// What the TLS connections need from the platform's sockets beyond mbedtls's network layer.
// platform/posix and platform/windows implement it.
#pragma once

#include <cstddef>
#include <cstdint>

#include <mbedtls/net_sockets.h>

namespace dravenholt::mbed {

// The socket send function given to mbedtls in place of its own: the same results, but a peer
// that has gone away yields an error instead of a signal that would end the whole process
// (SIGPIPE on POSIX systems; Windows sockets raise none, and mbedtls's own function serves).
// Matches mbedtls_ssl_send_t; the context is an mbedtls_net_context.
int sendNoSignal(void* context, const unsigned char* data, size_t length);

// Lets go of this process's handle of the socket without shutting the connection down or
// sending anything, for a socket inherited across fork() that the parent still uses. The
// context is left without a socket.
void releaseSocketHandle(mbedtls_net_context& socket);

// Keeps the socket out of programs the application starts (close-on-exec; not inherited on
// Windows), so that none of them holds the connection open. False when the platform refuses.
bool keepFromChildPrograms(mbedtls_net_context& socket);

// Receiving without a poll before every read: the read timeout is the socket's own, set once
// per connection, so each read is a single system call.

// Makes reads on the socket give up after `ms` milliseconds (0: wait without limit). False
// when the socket refuses the option.
bool setReceiveTimeout(mbedtls_net_context& socket, uint32_t ms);

// Matches mbedtls_ssl_recv_t over an mbedtls_net_context: mbedtls_net_recv's results, with a
// read that ran into the socket's timeout reported as MBEDTLS_ERR_SSL_TIMEOUT.
int receiveWithTimeout(void* context, unsigned char* buffer, size_t length);

// Whether an idle socket has something to read now, without waiting or consuming it: bytes,
// the peer's close, or an error.
bool hasUnreadInput(const mbedtls_net_context& socket);

}  // namespace dravenholt::mbed
