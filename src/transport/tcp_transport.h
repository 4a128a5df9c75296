// The networked device: requests travel over TLS with a 5-byte header (length, little-endian,
// then a zero byte); replies come back as bare bytes, in as many records as the device makes.
// Each exchange has the timeout from the start of its request to the end of its reply. Read and
// write report failure by 0 and leave the transport closed, so the next device call reconnects.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/log_target.h"
#include "transport/tls_connection.h"
#include "transport/transport.h"

namespace dravenholt {

class TCPTransport : public Transport {
public:
    static constexpr size_t kHeaderSize = 5;
    static constexpr size_t kFrameLimit = 4096;
    // Once a reply has begun, each further piece of it must follow within this (and the
    // exchange's deadline): a device sends its reply at once, so a longer silence ends it.
    static constexpr std::chrono::milliseconds kPieceGap{1000};

    TCPTransport(const std::string& address, uint32_t port, const std::string& caBundlePath, LogTarget* log);
    ~TCPTransport() override;

    void open() override;
    bool isOpen() override;
    void close() override;
    void setTimeout(uint32_t ms) override;
    uint32_t getTimeout() override;
    size_t read(uint8_t* buffer, size_t capacity) override;
    // Waits for more of the reply, kPieceGap at most.
    size_t readMore(uint8_t* buffer, size_t capacity) override;
    size_t write(const uint8_t* data, size_t length) override;
    size_t write(const std::string& data) override;
    TransportKind kind() const override { return TransportKind::Network; }
    // Replies carry no length, so a stream holding anything unread cannot be trusted to line
    // up with the next request: reconnect instead. This also notices a peer that went away
    // while the connection sat idle.
    void discardStale() override;
    void abandon() override { connection_.abandon(); }

private:
    uint32_t timeout_ = 10000;
    TlsConnection connection_;
    // The frame being sent, header and request; wiped as soon as it is sent, for requests carry
    // PINs and keys.
    std::array<uint8_t, kFrameLimit> frame_;
    LogTarget* log_;
};

}  // namespace dravenholt
