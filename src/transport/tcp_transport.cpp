#include "transport/tcp_transport.h"

#include <mbedtls/platform_util.h>

#include <cstring>

#include "base/errors.h"

namespace dravenholt {

TCPTransport::TCPTransport(const std::string& address, uint32_t port, const std::string& caBundlePath,
                           LogTarget* log)
    : connection_(address, port, caBundlePath, log), log_(log) {}

TCPTransport::~TCPTransport() { close(); }

void TCPTransport::open() {
    close();
    if (!connection_.connect(timeout_)) throw DeviceError("connection failed");
}

bool TCPTransport::isOpen() { return connection_.isOpen(); }

void TCPTransport::close() { connection_.close(); }

void TCPTransport::setTimeout(uint32_t ms) {
    timeout_ = ms;
    connection_.setTimeout(ms);
}

uint32_t TCPTransport::getTimeout() { return timeout_; }

size_t TCPTransport::read(uint8_t* buffer, size_t capacity) {
    size_t length = capacity;
    return connection_.read(buffer, length) ? length : 0;
}

size_t TCPTransport::readMore(uint8_t* buffer, size_t capacity) {
    size_t length = capacity;
    return connection_.readMore(buffer, length, kPieceGap) ? length : 0;
}

size_t TCPTransport::write(const uint8_t* data, size_t length) {
    if (length > kFrameLimit - kHeaderSize) return 0;
    for (size_t i = 0; i < 4; ++i) frame_[i] = static_cast<uint8_t>(length >> (8 * i));
    frame_[4] = 0;
    if (length) std::memcpy(frame_.data() + kHeaderSize, data, length);
    bool sent = connection_.write(frame_.data(), kHeaderSize + length);
    mbedtls_platform_zeroize(frame_.data(), kHeaderSize + length);
    return sent ? length : 0;
}

size_t TCPTransport::write(const std::string& data) {
    return write(reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

void TCPTransport::discardStale() {
    if (!connection_.hasPendingInput()) return;
    if (log_) log_->logMessage(kInfo, "tls connection closed by the device or holding stray input; reconnecting.");
    open();
}

}  // namespace dravenholt
