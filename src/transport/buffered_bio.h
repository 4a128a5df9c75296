// A TLS connection's socket as mbedtls uses it, with its receives buffered. mbedtls reads each
// record in two receives, its 5-byte header and then its body, a system call each; this reads
// as much as has arrived (up to a record of the largest size) in one and hands mbedtls the
// pieces from its buffer. Sends go straight to the socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>

namespace dravenholt::mbed {

class BufferedBio {
public:
    static constexpr size_t kCapacity = 17 * 1024;  // a record of 16 KiB with its header and expansion

    // The functions are mbedtls's callbacks for `socket`, their context (an mbedtls_net_context
    // for mbedtls's own); `receiveTimeout` is optional.
    BufferedBio(void* socket, mbedtls_ssl_send_t* send, mbedtls_ssl_recv_t* receive,
                mbedtls_ssl_recv_timeout_t* receiveTimeout = nullptr);
    BufferedBio(const BufferedBio&) = delete;
    BufferedBio& operator=(const BufferedBio&) = delete;

    // Makes `ssl` send and receive through this. Bytes already held stay for its next read.
    void attach(mbedtls_ssl_context* ssl);
    // Replaces the receive functions; attach again for `ssl` to use them.
    void setReceive(mbedtls_ssl_recv_t* receive, mbedtls_ssl_recv_timeout_t* receiveTimeout);
    // Bytes received from the socket and not yet handed to mbedtls.
    size_t held() const { return end_ - begin_; }
    // Whether a whole record is held: a 5-byte header and the body length it gives. Meaningful
    // where mbedtls stands after it has taken a record's last byte, at the start of the next.
    bool holdsRecord() const {
        return held() >= 5 && held() - 5 >= (size_t{buffer_[begin_ + 3]} << 8 | buffer_[begin_ + 4]);
    }

private:
    static int send(void* self, const unsigned char* data, size_t length);
    static int receive(void* self, unsigned char* out, size_t length);
    static int receiveTimeout(void* self, unsigned char* out, size_t length, uint32_t timeoutMs);
    // Up to `length` held bytes, after `fill` (a receive into the empty buffer) when none are;
    // the receive's close, error or retry is passed on.
    template <class Fill>
    int serve(unsigned char* out, size_t length, Fill fill);

    void* socket_;
    mbedtls_ssl_send_t* send_;
    mbedtls_ssl_recv_t* receive_;
    mbedtls_ssl_recv_timeout_t* receiveTimeout_;
    std::unique_ptr<unsigned char[]> buffer_;
    size_t begin_ = 0, end_ = 0;
};

}  // namespace dravenholt::mbed
