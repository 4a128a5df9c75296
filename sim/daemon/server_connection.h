// One client connection of the simulator's TLS server: the handshake, then framed requests in
// (4-byte little-endian length, a zero byte, the request) and each reply out in one write.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <mbedtls/net_sockets.h>

namespace dravenholt::sim {

using Bytes = std::vector<uint8_t>;

// The device's answer to one request.
struct Reply {
    // The reply bytes (empty: no answer, the device stays silent), or nothing, which ends the
    // connection with the TLS close notification.
    Reply(std::optional<Bytes> answer) : end(!answer) {
        if (answer) bytes = std::move(*answer);
    }
    // Sends `sent` (possibly nothing), then drops the connection without the close notification,
    // as a device does that dies or loses its link.
    static Reply dropAfter(Bytes sent) {
        Reply r(std::move(sent));
        r.end = r.abrupt = true;
        return r;
    }

    Bytes bytes;
    bool end = false;
    bool abrupt = false;
    // Offsets at which the bytes are cut into records of their own (in ascending order), and
    // the pause before each record after the first: a device that writes its reply in pieces.
    std::vector<size_t> cuts;
    std::chrono::milliseconds pause{0};
};

using Responder = std::function<Reply(const Bytes& request)>;
// Makes the responder of one connection as the connection opens. The server destroys it as the
// connection ends, however it ends (a close, a reset, a dead peer, the server stopping), so that
// whatever it holds for its client ends with the connection.
using ResponderFactory = std::function<Responder()>;
// One responder shared by every connection.
inline ResponderFactory sameForAll(Responder responder) {
    return [responder = std::move(responder)] { return responder; };
}
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
