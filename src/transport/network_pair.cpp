#include "transport/network_pair.h"

#include "transport/tcp_transport.h"

namespace dravenholt {

std::vector<uint64_t> listNetworkDevices(const Settings&) { return {0}; }

std::unique_ptr<Transport> makeNetworkTransport(uint64_t deviceId, const Settings& settings, LogTarget& log) {
    if (deviceId != 0) return nullptr;
    return std::make_unique<TCPTransport>(settings.address, settings.port, settings.caBundle, &log);
}

}  // namespace dravenholt
