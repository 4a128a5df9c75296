// The transport interface: one connection to one device, moving opaque request and reply bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace dravenholt {

// What a transport reaches its device through.
enum class TransportKind { Hid, Network, Simulated, Other };

class Transport {
public:
    virtual ~Transport() = default;
    // Connects (closing first); throws DeviceError on failure.
    virtual void open() {}
    virtual bool isOpen() = 0;
    virtual void close() {}
    virtual void setTimeout(uint32_t) {}
    virtual uint32_t getTimeout() = 0;
    // Waits up to the timeout for one complete reply; 0 when nothing usable arrived.
    virtual size_t read(uint8_t* buffer, size_t capacity) = 0;
    // More bytes of the reply that read() began, for a transport whose replies carry no length
    // and may arrive in pieces: waits for them, never past the exchange's deadline. 0 when none
    // came (a failure, as for read), and always where replies arrive whole (the default).
    virtual size_t readMore(uint8_t*, size_t) { return 0; }
    virtual size_t write(const uint8_t* data, size_t length) = 0;
    virtual size_t write(const std::string& data) = 0;
    virtual TransportKind kind() const = 0;
    // Drops whatever an earlier exchange left unread, so that it is never taken as the reply
    // to the next request. Called under the device lock before each request is written.
    virtual void discardStale() {}
    // In a process made by fork(): lets go of the connection without a byte to or from the
    // device, because the connection is the parent's and stays in use there. A transport that
    // holds nothing shared with the parent (an in-process engine) keeps the default.
    virtual void abandon() {}
};

}  // namespace dravenholt
