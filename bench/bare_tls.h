// The floor: a TLS client that does nothing but send framed requests and read replies, the
// least any library over this transport must do. Blocking socket with a receive timeout (a
// device that never answers must not hang its caller), certificate verified once at the
// handshake, one write per request (5-byte header and request together), one read per reply
// (the TLS record's header and body in one receive, as the library reads them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace orvo_bench {

class BareTlsClient {
public:
    // Connects and completes the handshake; throws BenchError when it cannot.
    BareTlsClient(const std::string& address, uint32_t port, const std::string& caBundlePath, uint32_t timeoutMs);
    ~BareTlsClient();
    BareTlsClient(const BareTlsClient&) = delete;
    BareTlsClient& operator=(const BareTlsClient&) = delete;

    // One request out, one reply in; the reply's length. Throws BenchError on failure.
    size_t exchange(const uint8_t* request, size_t length, uint8_t* reply, size_t capacity);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace orvo_bench
