// What the TLS tests share: a log that keeps its lines, certificates made at test time, a device
// on a free loopback port served by the simulator's TLS server, a relay that slows its bytes down.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/log_target.h"
#include "certificates.h"
#include "support/test_env.h"
#include "tls_server.h"

namespace orvotest {

namespace sim = dravenholt::sim;
using sim::Bytes;
using sim::Credential;

class RecordingLog final : public dravenholt::LogTarget {
public:
    void log(int level, const char* format, ...) override __attribute__((format(printf, 3, 4))) {
        char buffer[2048];
        va_list args;
        va_start(args, format);
        std::vsnprintf(buffer, sizeof buffer, format, args);
        va_end(args);
        logMessage(level, buffer);
    }
    void logMessage(int level, const std::string& message) override {
        std::lock_guard<std::mutex> guard(mutex_);
        text_ += std::to_string(level) + " " + message + "\n";
    }
    // How often `text` occurs in the lines logged ("<level> <message>").
    size_t count(const std::string& text) const {
        std::string all = this->all();
        size_t n = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
        return n;
    }
    bool has(const std::string& text) const { return count(text) > 0; }
    std::string all() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return text_;
    }

private:
    mutable std::mutex mutex_;
    std::string text_;
};

// A server certificate for 127.0.0.1, one from another authority, one naming another host.
struct Pki {
    Credential authority = sim::makeAuthority("Test CA");
    Credential server = sim::issueServerCertificate(authority, {"127.0.0.1"});
    Credential foreignServer = sim::issueServerCertificate(sim::makeAuthority("Test CA"), {"127.0.0.1"});
    Credential misnamedServer = sim::issueServerCertificate(authority, {"device.example"});
};

// Answers "re:" and the request.
inline std::optional<Bytes> echo(const Bytes& request) {
    Bytes reply{'r', 'e', ':'};
    reply.insert(reply.end(), request.begin(), request.end());
    return reply;
}

// Every connection answers every request with `reply`.
inline sim::ResponderFactory always(Bytes reply) {
    return sim::sameForAll([reply](const Bytes&) { return std::optional<Bytes>(reply); });
}

// A device behind TLS: records every request, answers through a responder of each connection's own.
class TestDevice {
public:
    explicit TestDevice(const Credential& identity, sim::ResponderFactory service = sim::sameForAll(echo))
        : identity_{identity.certificatePem, identity.keyPem}, service_(std::move(service)) {
        restart();
    }
    uint16_t port() const { return port_; }
    void stop() { server_.reset(); }
    // A fresh server on the same port.
    void restart() {
        stop();
        auto connectionOpened = [this]() -> sim::Responder {
            return [this, own = service_()](const Bytes& request) {
                std::unique_lock<std::mutex> guard(mutex_);
                requests_.push_back(request);
                guard.unlock();
                return own(request);
            };
        };
        server_ = std::make_unique<sim::TlsServer>("127.0.0.1", port_, identity_, connectionOpened);
        port_ = server_->port();
    }
    std::vector<Bytes> requests() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return requests_;
    }

private:
    sim::ServerIdentity identity_;
    sim::ResponderFactory service_;
    uint16_t port_ = 0;
    mutable std::mutex mutex_;
    std::vector<Bytes> requests_;
    std::unique_ptr<sim::TlsServer> server_;
};

inline sockaddr_in loopback(uint16_t port) {
    return {.sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
}

// A TCP socket listening on 127.0.0.1 with the given backlog, its port in `port`; one connected
// to 127.0.0.1:port. -1 on failure.
inline int listenOnLoopback(int backlog, uint16_t& port) {
    sockaddr_in address = loopback(0);
    socklen_t size = sizeof address;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 && ::listen(fd, backlog) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
        port = ntohs(address.sin_port);
        return fd;
    }
    if (fd >= 0) ::close(fd);
    return -1;
}

inline int connectOnLoopback(uint16_t port) {
    sockaddr_in address = loopback(port);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

// A TCP relay from a loopback port to `target`, for one client: it passes bytes both ways as
// they come until trickle(); from then on the device's bytes reach the client one at a time,
// `pace` apart, as from a device that keeps a reply going a byte at a time.
class TricklingRelay {
public:
    TricklingRelay(uint16_t target, std::chrono::milliseconds pace) {
        listener_ = listenOnLoopback(1, port_);
        if (listener_ < 0) throw std::runtime_error("relay: no listening socket");
        thread_ = std::thread([this, target, pace] {
            ends_[0] = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            ends_[1] = connectOnLoopback(target);
            // The destructor shuts down the sockets it sees; one set after that is seen here.
            if (stop_ || ends_[0] < 0 || ends_[1] < 0) return;
            std::thread toDevice([this] { pass(ends_[0], ends_[1], {}); });
            pass(ends_[1], ends_[0], pace);
            toDevice.join();
        });
    }
    ~TricklingRelay() {
        stop_ = true;
        for (int fd : {listener_, ends_[0].load(), ends_[1].load()})
            if (fd >= 0) ::shutdown(fd, SHUT_RDWR);  // wakes the relay's accept and reads
        thread_.join();
        for (int fd : {listener_, ends_[0].load(), ends_[1].load()})
            if (fd >= 0) ::close(fd);
    }
    uint16_t port() const { return port_; }
    void trickle() { trickling_ = true; }

private:
    void pass(int from, int to, std::chrono::milliseconds pace) {
        char chunk[4096];
        for (ssize_t n; !stop_ && (n = ::read(from, chunk, sizeof chunk)) > 0;) {
            for (ssize_t at = 0, step; at < n && !stop_; at += step) {
                step = trickling_ && pace.count() > 0 ? 1 : n - at;
                if (::send(to, chunk + at, static_cast<size_t>(step), MSG_NOSIGNAL) != step) return;
                if (step == 1) std::this_thread::sleep_for(pace);
            }
        }
    }
    int listener_ = -1;
    std::atomic<int> ends_[2] = {-1, -1};  // the client's connection, the device's
    uint16_t port_ = 0;
    std::atomic<bool> trickling_{false}, stop_{false};
    std::thread thread_;
};

}  // namespace orvotest
