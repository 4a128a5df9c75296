// The network pair of device lister and transport factory: one TLS device, port 0.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "transport/device_pair.h"

namespace dravenholt {

std::vector<uint64_t> listNetworkDevices(const Settings& settings);
std::unique_ptr<Transport> makeNetworkTransport(uint64_t deviceId, const Settings& settings, LogTarget& log);

}  // namespace dravenholt
