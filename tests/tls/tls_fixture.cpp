#include "tls_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <stdexcept>

namespace orvotest {

void RecordingLog::log(int level, const char* format, ...) {
    char buffer[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    logMessage(level, buffer);
}

void RecordingLog::logMessage(int level, const std::string& message) {
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.push_back(std::to_string(level) + " " + message);
}

size_t RecordingLog::count(const std::string& text) const {
    std::lock_guard<std::mutex> guard(mutex_);
    size_t n = 0;
    for (const auto& line : lines_) n += line.find(text) != std::string::npos;
    return n;
}

std::string RecordingLog::all() const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::string out;
    for (const auto& line : lines_) out += line + "\n";
    return out;
}

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

namespace {

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

}  // namespace

int listenOnLoopback(int backlog, uint16_t& port) {
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

int connectOnLoopback(uint16_t port) {
    sockaddr_in address = loopback(port);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

TricklingRelay::TricklingRelay(uint16_t target, std::chrono::milliseconds pace) : pace_(pace) {
    listener_ = listenOnLoopback(1, port_);
    if (listener_ < 0 || ::pipe(wake_) != 0) throw std::runtime_error("relay: no listening socket");
    thread_ = std::thread([this, target] { relay(target); });
}

TricklingRelay::~TricklingRelay() {
    char stop = 0;
    if (::write(wake_[1], &stop, 1) != 1) std::perror("relay: cannot stop");
    thread_.join();
    for (int fd : {listener_, wake_[0], wake_[1]}) ::close(fd);
}

void TricklingRelay::relay(uint16_t target) {
    pollfd first[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(first, 2, -1) <= 0 || first[1].revents) return;
    int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    int server = connectOnLoopback(target);
    bool open = client >= 0 && server >= 0;
    std::string toClient;
    auto nextByte = std::chrono::steady_clock::now();
    while (open) {
        int wait = -1;
        if (!toClient.empty()) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(nextByte - std::chrono::steady_clock::now());
            wait = trickling_ ? static_cast<int>(std::max<long>(0, left.count())) : 0;
        }
        pollfd fds[3] = {{client, POLLIN, 0}, {server, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(fds, 3, wait) < 0 || fds[2].revents) break;
        char chunk[4096];
        if (fds[0].revents) {
            ssize_t n = ::read(client, chunk, sizeof chunk);
            open = n > 0 && ::send(server, chunk, static_cast<size_t>(n), MSG_NOSIGNAL) == n;
        }
        if (fds[1].revents) {
            ssize_t n = ::read(server, chunk, sizeof chunk);
            open = open && n > 0;
            if (n > 0) toClient.append(chunk, static_cast<size_t>(n));
        }
        size_t count = trickling_ ? (std::chrono::steady_clock::now() >= nextByte ? 1 : 0) : toClient.size();
        count = std::min(count, toClient.size());
        if (count > 0) {
            open = open && ::send(client, toClient.data(), count, MSG_NOSIGNAL) == static_cast<ssize_t>(count);
            toClient.erase(0, count);
            nextByte = std::chrono::steady_clock::now() + pace_;
        }
    }
    for (int fd : {client, server})
        if (fd >= 0) ::close(fd);
}

TestDevice::TestDevice(Credential identity, uint16_t port) : identity_(std::move(identity)), port_(port) {
    behaviour_ = [](const Bytes& request) -> std::optional<Bytes> {
        Bytes reply = bytesOf("re:");
        reply.insert(reply.end(), request.begin(), request.end());
        return reply;
    };
    start();
}

TestDevice::~TestDevice() { stop(); }

void TestDevice::start() {
    auto connectionOpened = [this]() -> dravenholt::sim::Responder {
        dravenholt::sim::Responder own;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (service_) own = service_();
        }
        return [this, own](const Bytes& request) {
            dravenholt::sim::Responder behaviour = own;
            {
                std::lock_guard<std::mutex> guard(mutex_);
                requests_.push_back(request);
                if (!behaviour) behaviour = behaviour_;
            }
            return behaviour(request);
        };
    };
    server_ = std::make_unique<dravenholt::sim::TlsServer>(
        "127.0.0.1", port_, dravenholt::sim::ServerIdentity{identity_.certificatePem, identity_.keyPem},
        connectionOpened);
    port_ = server_->port();
}

void TestDevice::stop() {
    if (server_) server_->stop();
    server_.reset();
}

void TestDevice::restart() {
    stop();
    start();
}

std::vector<Bytes> TestDevice::requests() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return requests_;
}

void TestDevice::setBehaviour(dravenholt::sim::Responder behaviour) {
    std::lock_guard<std::mutex> guard(mutex_);
    behaviour_ = std::move(behaviour);
}

void TestDevice::setService(dravenholt::sim::ResponderFactory service) {
    std::lock_guard<std::mutex> guard(mutex_);
    service_ = std::move(service);
}

}  // namespace orvotest
