#include "platform/net_socket.h"

#include <mbedtls/ssl.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <mutex>

#include "platform/address_loop.h"

namespace dravenholt::mbed {

namespace {

// Client sockets are non-blocking: every wait is a select() bounded by the deadline. (A read
// that runs into SO_RCVTIMEO leaves a Winsock connection in an unknown state.)
enum class Ready { Read, Write };

// 1 ready (or failed, which the next call reports), 0 the deadline passed, -1 select failed.
int waitFor(SOCKET s, Ready what, Clock::time_point deadline) {
    for (int64_t left; (left = msLeft(deadline)) > 0;) {
        fd_set ready, failed;
        FD_ZERO(&ready);
        FD_ZERO(&failed);
        FD_SET(s, &ready);
        FD_SET(s, &failed);  // a connect that failed shows here, not as writable
        left = std::min<int64_t>(left, 86400000);
        timeval limit{static_cast<long>(left / 1000), static_cast<long>(left % 1000) * 1000};
        int n = ::select(0, what == Ready::Read ? &ready : nullptr, what == Ready::Write ? &ready : nullptr, &failed,
                         &limit);
        if (n > 0) return 1;
        if (n < 0) return -1;
    }
    return 0;
}

int failure(int error, int otherwise) {
    return error == WSAECONNRESET || error == WSAECONNABORTED ? MBEDTLS_ERR_NET_CONN_RESET : otherwise;
}

// One address: 0 connected, or the error code; the socket is closed on failure.
int connectOne(const addrinfo& address, Clock::time_point deadline, SOCKET& s) {
    s = ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (s == INVALID_SOCKET) return MBEDTLS_ERR_NET_SOCKET_FAILED;
    u_long nonBlocking = 1;
    int ret = MBEDTLS_ERR_NET_CONNECT_FAILED;
    if (!::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0) ||
        ::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        ret = MBEDTLS_ERR_NET_SOCKET_FAILED;
    } else if (::connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0 ||
               ::WSAGetLastError() == WSAEWOULDBLOCK) {
        int ready = waitFor(s, Ready::Write, deadline);
        int error = 0;
        int size = sizeof error;
        if (ready == 0) {
            ret = MBEDTLS_ERR_SSL_TIMEOUT;
        } else if (ready > 0 &&
                   ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) == 0 &&
                   error == 0) {
            return 0;
        }
    }
    ::closesocket(s);
    s = INVALID_SOCKET;
    return ret;
}

}  // namespace

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

int connectBy(TimedSocket& socket, const char* host, const char* port) {
    static std::once_flag started;
    static bool ready = false;
    std::call_once(started, [] {
        WSADATA data;
        ready = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    if (!ready) return MBEDTLS_ERR_NET_SOCKET_FAILED;
    return connectToFirst(host, port, [&socket](const addrinfo& address) {
        SOCKET s;
        int ret = connectOne(address, socket.deadline, s);
        if (ret == 0) socket.net.fd = static_cast<int>(s);
        return ret;
    });
}

int sendBy(void* context, const unsigned char* data, size_t length) {
    const TimedSocket& socket = *static_cast<TimedSocket*>(context);
    if (socket.net.fd < 0) return MBEDTLS_ERR_NET_INVALID_CONTEXT;
    auto s = static_cast<SOCKET>(socket.net.fd);
    int count = length > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(length);
    for (;;) {
        int sent = ::send(s, reinterpret_cast<const char*>(data), count, 0);
        if (sent != SOCKET_ERROR) return sent;
        int error = ::WSAGetLastError();
        if (error != WSAEWOULDBLOCK) return failure(error, MBEDTLS_ERR_NET_SEND_FAILED);
        int ready = waitFor(s, Ready::Write, socket.deadline);
        if (ready == 0) return MBEDTLS_ERR_SSL_TIMEOUT;
        if (ready < 0) return MBEDTLS_ERR_NET_SEND_FAILED;
    }
}

int receiveBy(void* context, unsigned char* buffer, size_t length) {
    const TimedSocket& socket = *static_cast<TimedSocket*>(context);
    if (socket.net.fd < 0) return MBEDTLS_ERR_NET_INVALID_CONTEXT;
    auto s = static_cast<SOCKET>(socket.net.fd);
    int capacity = length > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(length);
    for (;;) {
        int got = ::recv(s, reinterpret_cast<char*>(buffer), capacity, 0);
        if (got != SOCKET_ERROR) return got;
        int error = ::WSAGetLastError();
        if (error == WSAEINTR) continue;
        if (error != WSAEWOULDBLOCK) return failure(error, MBEDTLS_ERR_NET_RECV_FAILED);
        int ready = waitFor(s, Ready::Read, socket.deadline);
        if (ready == 0) return MBEDTLS_ERR_SSL_TIMEOUT;
        if (ready < 0) return MBEDTLS_ERR_NET_RECV_FAILED;
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
