// The simulator's TLS front end: listens on an address, serves each client connection on a
// thread of its own with a responder of its own, and hands it every whole request frame.
//
// A connection ends when its client closes it or resets it, and when its process dies (the
// system closes the socket). A peer that vanishes without a word (its host lost power or its
// network) is found by TCP keepalive: after kKeepAliveIdleS seconds of silence the server probes
// every kKeepAliveIntervalS seconds and gives up after kKeepAliveProbes unanswered probes, and a
// reply that stays unacknowledged for kUnacknowledgedMs ends the connection too.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "server_connection.h"
#include "transport/mbed_raii.h"

namespace dravenholt::sim {

class TlsServer {
public:
    static constexpr size_t kMaxConnections = 64;
    static constexpr int kKeepAliveIdleS = 30;
    static constexpr int kKeepAliveIntervalS = 10;
    static constexpr int kKeepAliveProbes = 3;
    static constexpr unsigned kUnacknowledgedMs = 60000;

    // Listens on address:port (port 0: any free port). Throws std::runtime_error when it cannot.
    TlsServer(const std::string& address, uint16_t port, ServerIdentity identity, ResponderFactory responders,
              ServerLog log = {});
    ~TlsServer();
    TlsServer(const TlsServer&) = delete;
    TlsServer& operator=(const TlsServer&) = delete;

    uint16_t port() const { return port_; }
    // Stops accepting, ends every connection (each client sees the connection close) and waits
    // for their threads. Harmless when already stopped.
    void stop();

private:
    struct Connection;
    void acceptLoop();
    void serve(mbedtls_net_context& socket, const std::string& name);
    void reapFinished();

    ServerIdentity identity_;
    ResponderFactory responders_;
    ServerLog log_;
    mbed::Socket listener_;
    uint16_t port_ = 0;
    int wake_[2] = {-1, -1};
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::list<std::unique_ptr<Connection>> connections_;
    uint64_t nextId_ = 1;
    std::thread acceptThread_;
};

}  // namespace dravenholt::sim
