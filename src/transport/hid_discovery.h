// Finding devices with hidapi's enumeration: the serial-number list and the interface a
// transport opens. A device is the maker's by its vendor and product IDs or, where no IDs are
// given, by its manufacturer string; the serial number (upper and lower case alike) tells
// devices apart and an optional usage page chooses among the interfaces of one device.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/log_target.h"
#include "transport/hid_transport.h"

namespace dravenholt {

// What a transport looks for; 0 and empty strings mean "not tested" (a vendor ID of 0: the
// manufacturer string is tested instead of the IDs).
struct DeviceFilter {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t usagePage = 0;
    std::string productName;
    std::string serialNumber;
};

struct OpenedDevice {
    HidHandle handle;
    std::string path;
    std::optional<std::string> productName;
};

// Serial numbers of the matching devices, ascending byte order, no duplicates, as a
// null-terminated array of C-heap strings (release with freeDeviceSerials). An ID of 0 means
// any; a vendor ID of 0 admits only the maker's manufacturer string. Null when the list could
// not be built (the reason goes to the standard error stream).
char** listDeviceSerials(uint16_t vendorId, uint16_t productId);
void freeDeviceSerials(char** list);

// Opens the first interface that passes the filter, in enumeration order. `releaseNumber`
// receives the release number of each interface that passes the manufacturer and usage page
// tests. Throws DeviceError "Device not detected" or "Unable to connect to device".
OpenedDevice openHidDevice(const DeviceFilter& filter, uint16_t& releaseNumber, LogTarget* log);

}  // namespace dravenholt
