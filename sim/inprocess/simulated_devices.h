// Puts simulated devices behind the library: a device lister and transport factory over a
// set of in-process engines, installed into the library context.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <vector>

#include "engine/engine.h"

namespace dravenholt {
class Context;
}

namespace dravenholt::sim {

class SimulatedDevices {
public:
    // `count` devices with ids base+0, base+1, ...; each keeps its state in
    // `stateDir`/<serial>.state when a directory is given, in memory otherwise.
    // Throws EngineError when an existing state file is refused.
    explicit SimulatedDevices(size_t count, std::filesystem::path stateDir = {},
                              uint64_t baseId = 0x0A0B0C000001);

    // Makes the context list exactly these devices and reach them in-process; the context
    // keeps them alive through the installed pair.
    static void install(Context& context, std::shared_ptr<SimulatedDevices> devices);

    std::vector<uint64_t> ids() const;
    std::shared_ptr<Engine> engine(uint64_t id) const;
    static std::string serialOf(uint64_t id);  // 12 upper-case hexadecimal digits

private:
    std::map<uint64_t, std::shared_ptr<Engine>> engines_;
};

// Convenience: makes `count` devices and installs them.
std::shared_ptr<SimulatedDevices> installSimulatedDevices(Context& context, size_t count,
                                                          std::filesystem::path stateDir = {});

}  // namespace dravenholt::sim
