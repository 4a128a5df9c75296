// Device identifiers: the six bytes a 12-digit hexadecimal serial number spells.
#pragma once

#include <cstdint>
#include <string>

namespace dravenholt {

uint64_t deviceIdFromSerial(const std::string& serial);  // expects 12 characters
std::string serialFromDeviceId(uint64_t id);              // 12 upper-case hex digits

}  // namespace dravenholt
