// The USB HID pair of device lister and transport factory, the library's default.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "transport/device_pair.h"

namespace dravenholt {

std::vector<uint64_t> listHidDevices(const Settings& settings);
std::unique_ptr<Transport> makeHidTransport(uint64_t deviceId, const Settings& settings, LogTarget& log);
// The USB product name of an HID transport ("Orvo", "Tarnix"); empty for other transports.
std::string hidProductName(Transport& transport);
}  // namespace dravenholt
