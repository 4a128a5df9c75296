// One client of an engine for as long as the object lives: connected when made, and
// disconnected, with every session it opened, when destroyed.
#pragma once

#include "engine/engine.h"

namespace dravenholt::sim {

class EngineClient {
public:
    explicit EngineClient(Engine& engine) : engine_(engine), id_(engine.connect()) {}
    ~EngineClient() { engine_.disconnect(id_); }
    EngineClient(const EngineClient&) = delete;
    EngineClient& operator=(const EngineClient&) = delete;

    std::vector<uint8_t> process(const std::vector<uint8_t>& request) noexcept { return engine_.process(id_, request); }
    Engine::ClientId id() const { return id_; }

private:
    Engine& engine_;
    const Engine::ClientId id_;
};

}  // namespace dravenholt::sim
