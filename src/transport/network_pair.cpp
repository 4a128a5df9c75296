#include "transport/network_pair.h"

namespace dravenholt {

std::vector<uint64_t> listNetworkDevices(CContext&) { return {0}; }

// Placeholder until the TLS transport lands: the networked device gets no transport.
std::unique_ptr<CTransport> makeNetworkTransport(uint64_t, CContext&) { return nullptr; }

}  // namespace dravenholt
