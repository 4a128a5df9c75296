// What the TLS connections need from the platform's sockets beyond mbedtls's network layer.
// platform/posix and platform/windows implement it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include <mbedtls/net_sockets.h>

namespace dravenholt::mbed {

using Clock = std::chrono::steady_clock;

// The socket send function given to mbedtls in place of its own: the same results, but a peer
// that has gone away yields an error instead of a signal that would end the whole process
// (SIGPIPE on POSIX systems; Windows sockets raise none, and mbedtls's own function serves).
// Matches mbedtls_ssl_send_t; the context is an mbedtls_net_context.
int sendNoSignal(void* context, const unsigned char* data, size_t length);

// Lets go of this process's handle of the socket without shutting the connection down or
// sending anything, for a socket inherited across fork() that the parent still uses. The
// context is left without a socket.
void releaseSocketHandle(mbedtls_net_context& socket);

// A client connection's socket with the deadline of what it is doing now: connecting and the
// handshake, or one exchange. Nothing done through the functions below waits beyond it.
struct TimedSocket {
    explicit TimedSocket(mbedtls_net_context& net) : net(net) {}
    mbedtls_net_context& net;
    Clock::time_point deadline = Clock::now();
    // POSIX: the receive timeout the socket holds (0: none yet). A receive is one system call
    // while the socket's own timeout ends at most a few milliseconds past the deadline; only a
    // receive that would wait longer than that sets it anew.
    uint32_t waitMs = 0;
};

// Connects the socket to host:port over TCP, trying each address the name resolves to until
// the deadline: 0, MBEDTLS_ERR_SSL_TIMEOUT when the deadline passed first, or the error codes
// of mbedtls_net_connect. The socket is kept from programs the application starts
// (close-on-exec; not inherited on Windows). Resolving the name is the system's and is not
// bounded by the deadline.
int connectBy(TimedSocket& socket, const char* host, const char* port);

// mbedtls_ssl_send_t and mbedtls_ssl_recv_t over a TimedSocket: the results of sendNoSignal and
// mbedtls_net_recv, and MBEDTLS_ERR_SSL_TIMEOUT when the deadline passes before the socket can
// take or give a byte.
int sendBy(void* timedSocket, const unsigned char* data, size_t length);
int receiveBy(void* timedSocket, unsigned char* buffer, size_t length);

// Whether an idle socket has something to read now, without waiting or consuming it: bytes,
// the peer's close, or an error.
bool hasUnreadInput(const mbedtls_net_context& socket);

// Milliseconds left until the deadline, rounded up; 0 once it has passed.
inline int64_t msLeft(Clock::time_point deadline) {
    auto left = deadline - Clock::now();
    return left > Clock::duration::zero() ? std::chrono::ceil<std::chrono::milliseconds>(left).count() : 0;
}

}  // namespace dravenholt::mbed
