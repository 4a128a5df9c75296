#include "tls_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <mbedtls/error.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace dravenholt::sim {

namespace {

constexpr int kReapIntervalMs = 1000;

std::string errorText(int ret) {
    char text[128] = {};
    mbedtls_strerror(ret, text, sizeof text);
    return text;
}

uint16_t boundPort(int fd) {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
    if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    return 0;
}

// Lets the system find a peer that is gone without closing its connection (see the class).
bool keepAlive(int fd) {
    auto set = [fd](int level, int option, int value) {
        return ::setsockopt(fd, level, option, &value, sizeof value) == 0;
    };
    return set(SOL_SOCKET, SO_KEEPALIVE, 1) && set(IPPROTO_TCP, TCP_KEEPIDLE, TlsServer::kKeepAliveIdleS) &&
           set(IPPROTO_TCP, TCP_KEEPINTVL, TlsServer::kKeepAliveIntervalS) &&
           set(IPPROTO_TCP, TCP_KEEPCNT, TlsServer::kKeepAliveProbes) &&
           set(IPPROTO_TCP, TCP_USER_TIMEOUT, int(TlsServer::kUnacknowledgedMs));
}

// Each write goes out at once: a reply written in several records (Reply::cuts) is not held
// back until the client has acknowledged the first.
bool sendAtOnce(int fd) {
    int on = 1;
    return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

}  // namespace

struct TlsServer::Connection {
    mbed::Socket socket;
    std::atomic<bool> finished{false};
    std::thread thread;
};

TlsServer::TlsServer(const std::string& address, uint16_t port, ServerIdentity identity, ResponderFactory responders,
                     ServerLog log)
    : identity_(std::move(identity)), responders_(std::move(responders)), log_(std::move(log)) {
    std::string portText = std::to_string(port);
    int ret = mbedtls_net_bind(listener_.get(), address.c_str(), portText.c_str(), MBEDTLS_NET_PROTO_TCP);
    if (ret != 0) throw std::runtime_error("cannot listen on " + address + ":" + portText + ": " + errorText(ret));
    port_ = boundPort(listener_->fd);
    if (::pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error("cannot create the wake-up pipe");
    try {
        acceptThread_ = std::thread(&TlsServer::acceptLoop, this);
    } catch (...) {
        ::close(wake_[0]);
        ::close(wake_[1]);
        throw;
    }
}

TlsServer::~TlsServer() {
    stop();
    ::close(wake_[0]);
    ::close(wake_[1]);
}

void TlsServer::stop() {
    stopping_ = true;
    char wake = 1;
    [[maybe_unused]] ssize_t ignored = ::write(wake_[1], &wake, 1);
    if (acceptThread_.joinable()) acceptThread_.join();
    std::list<std::unique_ptr<Connection>> all;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        all.swap(connections_);
    }
    for (auto& c : all) ::shutdown(c->socket->fd, SHUT_RDWR);
    for (auto& c : all)
        if (c->thread.joinable()) c->thread.join();
    mbedtls_net_free(listener_.get());  // the port is free again once stop returns
}

void TlsServer::reapFinished() {
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
        if ((*it)->finished) {
            (*it)->thread.join();
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

void TlsServer::serve(mbedtls_net_context& socket, const std::string& name) {
    try {
        Responder responder = responders_();  // what it holds for the client ends with this scope
        serveConnection(socket, identity_, responder, log_, name);
    } catch (const std::exception& e) {
        if (log_) log_(name + ": " + e.what());
    } catch (...) {
        if (log_) log_(name + ": unexpected failure");
    }
}

void TlsServer::acceptLoop() {
    while (!stopping_) {
        pollfd fds[2] = {{listener_->fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        int ready = ::poll(fds, 2, kReapIntervalMs);
        reapFinished();
        if (stopping_ || (ready > 0 && fds[1].revents)) break;
        if (ready < 0 && errno != EINTR) {
            if (log_) log_(std::string("poll failed: ") + std::strerror(errno));
            break;
        }
        if (ready <= 0 || !(fds[0].revents & POLLIN)) continue;

        auto connection = std::make_unique<Connection>();
        if (mbedtls_net_accept(listener_.get(), connection->socket.get(), nullptr, 0, nullptr) != 0) continue;
        std::lock_guard<std::mutex> guard(mutex_);
        if (connections_.size() >= kMaxConnections) {
            if (log_) log_("too many connections, refusing one");
            continue;  // closing the socket turns the client away
        }
        std::string name = "connection " + std::to_string(nextId_++);
        if (!keepAlive(connection->socket->fd) && log_) log_(name + ": keepalive not available");
        if (!sendAtOnce(connection->socket->fd) && log_) log_(name + ": TCP_NODELAY not available");
        Connection* raw = connection.get();
        try {
            raw->thread = std::thread([this, raw, name] {
                if (log_) log_(name + " opened");
                serve(*raw->socket.get(), name);
                ::shutdown(raw->socket->fd, SHUT_RDWR);  // the client sees the end now, not at reaping
                if (log_) log_(name + " closed");
                raw->finished = true;
            });
        } catch (const std::exception& e) {
            if (log_) log_(name + ": cannot start a thread: " + e.what());
            continue;
        }
        connections_.push_back(std::move(connection));
    }
}

}  // namespace dravenholt::sim
