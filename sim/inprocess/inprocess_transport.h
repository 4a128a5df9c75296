// A transport whose device is a simulator engine in the same process: write hands the
// request to the engine, read returns its reply. While open, the transport is a client of the
// engine of its own, as a connection to a networked device is: closing it ends the sessions
// opened through it. A forked process works on its copy of the engine.
#pragma once

#include <memory>
#include <optional>

#include "engine/engine_client.h"
#include "transport/transport.h"

namespace dravenholt::sim {

class InProcessTransport : public Transport {
public:
    explicit InProcessTransport(std::shared_ptr<Engine> engine) : engine_(std::move(engine)) {}

    void open() override { client_.emplace(*engine_); }
    bool isOpen() override { return client_.has_value(); }
    void close() override { client_.reset(); }
    void setTimeout(uint32_t ms) override { timeoutMs_ = ms; }
    uint32_t getTimeout() override { return timeoutMs_; }
    size_t write(const uint8_t* data, size_t length) override;
    size_t write(const std::string& data) override;
    // The reply to the last request; 0 when there is none or it does not fit `capacity`.
    size_t read(uint8_t* buffer, size_t capacity) override;
    TransportKind kind() const override { return TransportKind::Simulated; }
    void discardStale() override { pending_.clear(); }

private:
    std::shared_ptr<Engine> engine_;
    std::optional<EngineClient> client_;  // after engine_: goes first
    std::vector<uint8_t> pending_;
    uint32_t timeoutMs_ = 12000;
};

}  // namespace dravenholt::sim
