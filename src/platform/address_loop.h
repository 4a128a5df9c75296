// The part of connecting that POSIX and Windows sockets share: resolve host:port for TCP and try
// each address in turn. Included by platform/*/net_socket.cpp after their socket headers.
#pragma once

#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>

namespace dravenholt::mbed {

// `connectOne(const addrinfo&)` returns 0 once connected or an mbedtls error code; the first 0
// ends the loop, and so does MBEDTLS_ERR_SSL_TIMEOUT, since no time is left for another address.
template <class ConnectOne>
int connectToFirst(const char* host, const char* port, ConnectOne&& connectOne) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host, port, &hints, &found) != 0 || !found) return MBEDTLS_ERR_NET_UNKNOWN_HOST;
    int ret = MBEDTLS_ERR_NET_UNKNOWN_HOST;
    for (const addrinfo* at = found; at && ret != 0 && ret != MBEDTLS_ERR_SSL_TIMEOUT; at = at->ai_next)
        ret = connectOne(*at);
    ::freeaddrinfo(found);
    return ret;
}

}  // namespace dravenholt::mbed
