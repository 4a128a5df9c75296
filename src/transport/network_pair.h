// The network pair of device lister and transport factory: one TLS device, port 0.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "transport/transport.h"

class CContext;

namespace dravenholt {

std::vector<uint64_t> listNetworkDevices(CContext& context);
std::unique_ptr<CTransport> makeNetworkTransport(uint64_t deviceId, CContext& context);

}  // namespace dravenholt
