#include "tls_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
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

std::optional<Bytes> echo(const Bytes& request) {
    Bytes reply = bytesOf("re:");
    reply.insert(reply.end(), request.begin(), request.end());
    return reply;
}

dravenholt::sim::ResponderFactory always(Bytes reply) {
    return dravenholt::sim::sameForAll([reply](const Bytes&) { return std::optional<Bytes>(reply); });
}

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

TricklingRelay::TricklingRelay(uint16_t target, std::chrono::milliseconds pace) {
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

TricklingRelay::~TricklingRelay() {
    stop_ = true;
    for (int fd : {listener_, ends_[0].load(), ends_[1].load()})
        if (fd >= 0) ::shutdown(fd, SHUT_RDWR);  // wakes the relay's accept and reads
    thread_.join();
    for (int fd : {listener_, ends_[0].load(), ends_[1].load()})
        if (fd >= 0) ::close(fd);
}

void TricklingRelay::pass(int from, int to, std::chrono::milliseconds pace) {
    char chunk[4096];
    for (ssize_t n; !stop_ && (n = ::read(from, chunk, sizeof chunk)) > 0;) {
        for (ssize_t at = 0, step; at < n && !stop_; at += step) {
            step = trickling_ && pace.count() > 0 ? 1 : n - at;
            if (::send(to, chunk + at, static_cast<size_t>(step), MSG_NOSIGNAL) != step) return;
            if (step == 1) std::this_thread::sleep_for(pace);
        }
    }
}

TestDevice::TestDevice(Credential identity, dravenholt::sim::ResponderFactory service, uint16_t port)
    : identity_(std::move(identity)), service_(std::move(service)), port_(port) {
    restart();
}

void TestDevice::restart() {
    stop();
    auto connectionOpened = [this]() -> dravenholt::sim::Responder {
        return [this, own = service_()](const Bytes& request) {
            {
                std::lock_guard<std::mutex> guard(mutex_);
                requests_.push_back(request);
            }
            return own(request);
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

std::vector<Bytes> TestDevice::requests() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return requests_;
}

}  // namespace orvotest
