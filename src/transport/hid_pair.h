// The USB HID pair of device lister and transport factory, the context's default.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "transport/transport.h"

class CContext;

namespace dravenholt {

std::vector<uint64_t> listHidDevices(CContext& context);
std::unique_ptr<CTransport> makeHidTransport(uint64_t deviceId, CContext& context);
// The USB product name of an HID transport ("Orvo", "Tarnix"); empty for other transports.
std::string hidProductName(CTransport& transport);
}  // namespace dravenholt
