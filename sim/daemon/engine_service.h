// The simulator's engine behind the TLS server: every connection is a client of its own, so that
// its sessions and login end when the connection does.
#pragma once

#include <memory>

#include "engine/engine_client.h"
#include "server_connection.h"

namespace dravenholt::sim {

// The engine must outlive the server.
inline ResponderFactory engineService(Engine& engine) {
    return [&engine]() -> Responder {
        auto client = std::make_shared<EngineClient>(engine);
        return [client](const Bytes& request) -> std::optional<Bytes> { return client->process(request); };
    };
}

}  // namespace dravenholt::sim
