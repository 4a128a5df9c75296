// Catches the exact bytes the library exchanges with a device, so that the bare TLS loop and
// the engine-alone figures send the very same requests. A transport wrapper: while recording is
// off it only forwards.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "transport/transport.h"

namespace orvo_bench {

using Bytes = std::vector<uint8_t>;

struct Exchange {
    Bytes request;
    Bytes reply;
};

class Recorder {
public:
    void start() {
        exchanges_.clear();
        on_ = true;
    }
    std::vector<Exchange> stop() {
        on_ = false;
        return std::move(exchanges_);
    }
    bool on() const { return on_; }
    void request(const uint8_t* data, size_t length) { exchanges_.push_back({Bytes(data, data + length), {}}); }
    void reply(const uint8_t* data, size_t length) {
        if (!exchanges_.empty()) exchanges_.back().reply.assign(data, data + length);
    }

private:
    bool on_ = false;
    std::vector<Exchange> exchanges_;
};

class RecordingTransport final : public dravenholt::Transport {
public:
    RecordingTransport(std::unique_ptr<dravenholt::Transport> inner, Recorder& recorder)
        : inner_(std::move(inner)), recorder_(recorder) {}

    void open() override { inner_->open(); }
    bool isOpen() override { return inner_->isOpen(); }
    void close() override { inner_->close(); }
    void setTimeout(uint32_t ms) override { inner_->setTimeout(ms); }
    uint32_t getTimeout() override { return inner_->getTimeout(); }
    void discardStale() override { inner_->discardStale(); }
    dravenholt::TransportKind kind() const override { return inner_->kind(); }
    size_t write(const std::string& data) override {
        return write(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    }
    size_t write(const uint8_t* data, size_t length) override {
        if (recorder_.on()) recorder_.request(data, length);
        return inner_->write(data, length);
    }
    size_t read(uint8_t* buffer, size_t capacity) override {
        size_t n = inner_->read(buffer, capacity);
        if (recorder_.on() && n <= capacity) recorder_.reply(buffer, n);
        return n;
    }

private:
    std::unique_ptr<dravenholt::Transport> inner_;
    Recorder& recorder_;
};

}  // namespace orvo_bench
