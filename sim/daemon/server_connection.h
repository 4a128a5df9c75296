// One client connection of the simulator's TLS server: the handshake, then framed requests in
// (4-byte little-endian length, a zero byte, the request) and each reply out in one write.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <mbedtls/net_sockets.h>

namespace dravenholt::sim {

using Bytes = std::vector<uint8_t>;

// The device's answer to one request: the reply bytes (empty: no answer, the device stays
// silent), or nothing, which ends the connection.
using Responder = std::function<std::optional<Bytes>(const Bytes& request)>;
using ServerLog = std::function<void(const std::string& line)>;

struct ServerIdentity {
    std::string certificatePem;  // the server certificate, optionally followed by its chain
    std::string keyPem;
};

constexpr size_t kMaxRequest = 4096 - 5;
constexpr uint32_t kHandshakeTimeoutMs = 10000;

// Serves the accepted socket until the client leaves, sends a malformed frame, or the socket is
// shut down from outside. Never throws; the socket stays owned by the caller.
void serveConnection(mbedtls_net_context& socket, const ServerIdentity& identity, const Responder& responder,
                     const ServerLog& log, const std::string& name);

}  // namespace dravenholt::sim
