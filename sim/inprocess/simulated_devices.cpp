#include "inprocess/simulated_devices.h"

#include <cstdio>

#include "frame/context.h"
#include "inprocess/inprocess_transport.h"

namespace dravenholt::sim {

SimulatedDevices::SimulatedDevices(size_t count, std::filesystem::path stateDir, uint64_t baseId) {
    for (size_t i = 0; i < count; ++i) {
        uint64_t id = baseId + i;
        EngineOptions options;
        options.serialNumber = serialOf(id);
        if (!stateDir.empty()) options.stateFile = stateDir / (options.serialNumber + ".state");
        engines_.emplace(id, std::make_shared<Engine>(options));
    }
}

std::vector<uint64_t> SimulatedDevices::ids() const {
    std::vector<uint64_t> list;
    for (const auto& [id, engine] : engines_) list.push_back(id);
    return list;
}

std::shared_ptr<Engine> SimulatedDevices::engine(uint64_t id) const {
    auto it = engines_.find(id);
    return it == engines_.end() ? nullptr : it->second;
}

std::string SimulatedDevices::serialOf(uint64_t id) {
    char text[13];
    std::snprintf(text, sizeof text, "%012llX", static_cast<unsigned long long>(id & 0xFFFFFFFFFFFFull));
    return text;
}

void SimulatedDevices::install(Context& context, std::shared_ptr<SimulatedDevices> devices) {
    context.setDevicePair(
        [devices](const Settings&) { return devices->ids(); },
        [devices](uint64_t id, const Settings&, LogTarget&) -> std::unique_ptr<Transport> {
            std::shared_ptr<Engine> engine = devices->engine(id);
            if (!engine) return nullptr;
            return std::make_unique<InProcessTransport>(engine);
        });
}

std::shared_ptr<SimulatedDevices> installSimulatedDevices(Context& context, size_t count,
                                                          std::filesystem::path stateDir) {
    auto devices = std::make_shared<SimulatedDevices>(count, std::move(stateDir));
    SimulatedDevices::install(context, devices);
    return devices;
}

}  // namespace dravenholt::sim
