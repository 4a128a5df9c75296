#include "transport/network_pair.h"

#include "frame/context.h"
#include "transport/tcp_transport.h"

namespace dravenholt {

std::vector<uint64_t> listNetworkDevices(CContext&) { return {0}; }

std::unique_ptr<CTransport> makeNetworkTransport(uint64_t deviceId, CContext& context) {
    if (deviceId != 0) return nullptr;
    return std::make_unique<TCPTransport>(context.ipAddress, context.ipPort, context.caCertBundle, &context);
}

}  // namespace dravenholt
