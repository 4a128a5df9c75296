// What the TLS tests share: a log target that keeps its lines, a set of certificates made at
// test time, a device on a free loopback port served by the simulator's TLS server, and a relay
// that can slow the device's bytes down.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/log_target.h"
#include "certificates.h"
#include "support/test_env.h"
#include "tls_server.h"

namespace orvotest {

using dravenholt::sim::Bytes;
using dravenholt::sim::Credential;

class RecordingLog final : public dravenholt::LogTarget {
public:
    void log(int level, const char* format, ...) override __attribute__((format(printf, 3, 4)));
    void logMessage(int level, const std::string& message) override;
    bool has(const std::string& text) const { return count(text) > 0; }
    size_t count(const std::string& text) const;
    std::string all() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// Two unrelated authorities and server certificates: a good one for 127.0.0.1, one from the
// other authority, and one from the right authority naming another host.
struct Pki {
    Credential authority = dravenholt::sim::makeAuthority("Test CA");
    Credential otherAuthority = dravenholt::sim::makeAuthority("Test CA");
    Credential server = dravenholt::sim::issueServerCertificate(authority, {"127.0.0.1"});
    Credential foreignServer = dravenholt::sim::issueServerCertificate(otherAuthority, {"127.0.0.1"});
    Credential misnamedServer = dravenholt::sim::issueServerCertificate(authority, {"device.example"});
};

Bytes bytesOf(const std::string& text);
// Answers "re:" and the request.
std::optional<Bytes> echo(const Bytes& request);
// Every connection answers every request with `reply`.
dravenholt::sim::ResponderFactory always(Bytes reply);

// A device behind TLS: records every request and answers through a responder of each
// connection's own.
class TestDevice {
public:
    explicit TestDevice(Credential identity,
                        dravenholt::sim::ResponderFactory service = dravenholt::sim::sameForAll(echo),
                        uint16_t port = 0);
    ~TestDevice() { stop(); }
    uint16_t port() const { return port_; }
    void stop();
    void restart();  // a fresh server on the same port
    std::vector<Bytes> requests() const;

private:
    Credential identity_;
    dravenholt::sim::ResponderFactory service_;
    uint16_t port_;
    mutable std::mutex mutex_;
    std::vector<Bytes> requests_;
    std::unique_ptr<dravenholt::sim::TlsServer> server_;
};

// A TCP relay from a loopback port to `target`, for one client: it passes bytes both ways as
// they come until trickle(); from then on the device's bytes reach the client one at a time,
// `pace` apart, as from a device that keeps a reply going a byte at a time.
class TricklingRelay {
public:
    TricklingRelay(uint16_t target, std::chrono::milliseconds pace);
    ~TricklingRelay();
    uint16_t port() const { return port_; }
    void trickle() { trickling_ = true; }

private:
    void pass(int from, int to, std::chrono::milliseconds pace);
    int listener_ = -1;
    std::atomic<int> ends_[2] = {-1, -1};  // the client's connection, the device's
    uint16_t port_ = 0;
    std::atomic<bool> trickling_{false}, stop_{false};
    std::thread thread_;
};

// A TCP socket listening on 127.0.0.1 with the given backlog, its port in `port`; one connected
// to 127.0.0.1:port. -1 on failure.
int listenOnLoopback(int backlog, uint16_t& port);
int connectOnLoopback(uint16_t port);

}  // namespace orvotest
