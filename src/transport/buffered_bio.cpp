#include "transport/buffered_bio.h"

#include <algorithm>
#include <cstring>

namespace dravenholt::mbed {

BufferedBio::BufferedBio(void* socket, mbedtls_ssl_send_t* send, mbedtls_ssl_recv_t* receive,
                         mbedtls_ssl_recv_timeout_t* receiveTimeout)
    : socket_(socket), send_(send), receive_(receive), receiveTimeout_(receiveTimeout),
      buffer_(std::make_unique<unsigned char[]>(kCapacity)) {}

void BufferedBio::attach(mbedtls_ssl_context* ssl) {
    mbedtls_ssl_set_bio(ssl, this, &BufferedBio::send, &BufferedBio::receive,
                        receiveTimeout_ ? &BufferedBio::receiveTimeout : nullptr);
}

void BufferedBio::setReceive(mbedtls_ssl_recv_t* receive, mbedtls_ssl_recv_timeout_t* receiveTimeout) {
    receive_ = receive;
    receiveTimeout_ = receiveTimeout;
}

int BufferedBio::send(void* self, const unsigned char* data, size_t length) {
    BufferedBio& bio = *static_cast<BufferedBio*>(self);
    return bio.send_(bio.socket_, data, length);
}

template <class Fill>
int BufferedBio::serve(unsigned char* out, size_t length, Fill fill) {
    if (held() == 0) {
        int got = fill(buffer_.get(), kCapacity);
        if (got <= 0) return got;
        begin_ = 0;
        end_ = static_cast<size_t>(got);
    }
    size_t n = std::min(length, held());
    std::memcpy(out, buffer_.get() + begin_, n);
    begin_ += n;
    return static_cast<int>(n);
}

int BufferedBio::receive(void* self, unsigned char* out, size_t length) {
    BufferedBio& bio = *static_cast<BufferedBio*>(self);
    return bio.serve(out, length, [&bio](unsigned char* buffer, size_t capacity) {
        return bio.receive_(bio.socket_, buffer, capacity);
    });
}

int BufferedBio::receiveTimeout(void* self, unsigned char* out, size_t length, uint32_t timeoutMs) {
    BufferedBio& bio = *static_cast<BufferedBio*>(self);
    return bio.serve(out, length, [&bio, timeoutMs](unsigned char* buffer, size_t capacity) {
        return bio.receiveTimeout_(bio.socket_, buffer, capacity, timeoutMs);
    });
}

}  // namespace dravenholt::mbed
