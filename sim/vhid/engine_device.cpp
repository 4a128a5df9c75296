#include "vhid/engine_device.h"

#include <map>
#include <mutex>

#include "engine/engine_client.h"

namespace dravenholt::vhid {
namespace {

struct Hosts {
    explicit Hosts(std::shared_ptr<sim::Engine> e) : engine(std::move(e)) {}
    std::shared_ptr<sim::Engine> engine;  // outlives the clients below
    std::mutex mutex;
    std::map<uint32_t, std::unique_ptr<sim::EngineClient>> clients;

    sim::EngineClient& client(uint32_t host) {
        std::lock_guard<std::mutex> lock(mutex);
        auto& slot = clients[host];
        if (!slot) slot = std::make_unique<sim::EngineClient>(*engine);
        return *slot;
    }
    void close(uint32_t host) {
        std::unique_ptr<sim::EngineClient> leaving;
        std::lock_guard<std::mutex> lock(mutex);
        if (auto it = clients.find(host); it != clients.end()) {
            leaving = std::move(it->second);
            clients.erase(it);
        }
    }
};

}  // namespace

HostResponder engineResponder(std::shared_ptr<sim::Engine> engine) {
    auto hosts = std::make_shared<Hosts>(std::move(engine));
    return {[hosts](uint32_t host, const Bytes& request) { return hosts->client(host).process(request); },
            [hosts](uint32_t host) { hosts->close(host); }};
}

}  // namespace dravenholt::vhid
