#include "tls_fixture.h"

#include <cstdarg>
#include <cstdio>

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
