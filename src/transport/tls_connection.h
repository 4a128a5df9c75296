// One TLS client connection to a networked device, on mbedtls: TLS 1.2 at least, the server's
// certificate verified against a CA bundle file and its name against the address. Nothing waits
// without a deadline: connecting and the handshake must end within the timeout, and so must
// each exchange, from the start of its request to the end of its reply. Failures are logged and
// reported by a false result; a failed read or write closes the connection.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "base/log_target.h"

namespace dravenholt {

class TlsConnection {
public:
    // A connection that answered less than this long ago is in use, not idle: asking the socket
    // whether its peer has closed it meanwhile is left for the next pause (see hasPendingInput).
    static constexpr std::chrono::microseconds kBusy{1000};

    TlsConnection(std::string address, uint32_t port, std::string caBundlePath, LogTarget* log);
    ~TlsConnection();
    TlsConnection(const TlsConnection&) = delete;
    TlsConnection& operator=(const TlsConnection&) = delete;

    bool connect(uint32_t timeoutMs);
    // Ends the session with a close notification and shuts the socket down.
    void close();
    // Forgets the connection without sending anything or shutting the socket down: after fork()
    // the socket is shared with the parent, whose session goes on.
    void abandon();
    bool isOpen() const { return state_ != nullptr; }
    // The time each exchange has, from the next request on.
    void setTimeout(uint32_t ms) { timeoutMs_ = ms; }
    // In: capacity of `buffer`; out: the bytes of the first record to arrive before the
    // exchange's deadline, with those of every whole record already received behind it (never
    // waiting for more). A timeout closes the connection: what the device may still send would
    // be taken for the next reply.
    bool read(uint8_t* buffer, size_t& length);
    // read() for more of a reply already begun, waiting at most `within` (and never past the
    // exchange's deadline).
    bool readMore(uint8_t* buffer, size_t& length, std::chrono::milliseconds within);
    // Starts an exchange: its deadline is the timeout from now.
    bool write(const uint8_t* data, size_t length);
    // True when the connection holds unread input: what has been received is looked at every
    // time, the socket itself (for the peer's close or bytes it sent unasked) once the
    // connection has been idle for kBusy since its last reply. A system call before every
    // request of a busy connection costs a tenth of a short exchange; and a peer that closes
    // in the instant after its reply races the next request with or without a look.
    bool hasPendingInput();

private:
    struct State;
    bool fail(int error);
    bool receive(uint8_t* buffer, size_t& length);

    std::string address_;
    std::string caBundlePath_;
    uint32_t port_;
    uint32_t timeoutMs_ = 10000;
    std::unique_ptr<State> state_;
    LogTarget* log_;
};

}  // namespace dravenholt
