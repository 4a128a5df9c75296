// The report length of a HID device: what the platform reports, within sane bounds, and the
// report descriptor parser that the platforms without a direct answer use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "base/log_target.h"

namespace dravenholt {

// Used when the platform cannot tell the length, or tells an unusable one:
// a full-speed device's 64-byte report plus the report ID byte.
constexpr size_t kFallbackReportLength = 65;
// Bounds of a report length the transport accepts from a descriptor (report ID included).
constexpr size_t kMinReportLength = 8;
constexpr size_t kMaxReportLength = 4097;

// Length of the longest input report the descriptor declares, in bytes, plus one for the report
// ID byte (whether or not the device numbers its reports, as the Windows HID driver counts it).
// None when the descriptor is malformed or declares no input report.
std::optional<size_t> inputReportLength(const uint8_t* descriptor, size_t size);

// The report length of the device at `path`: the platform's when it tells one within the
// bounds above, else kFallbackReportLength.
size_t reportLengthOf(const char* path, LogTarget* log);

}  // namespace dravenholt
