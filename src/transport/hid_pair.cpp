// The USB HID pair of device lister and transport factory, the library's default.
#include "transport/hid_pair.h"

#include <cstring>

#include "transport/device_id.h"
#include "transport/hid_discovery.h"
#include "transport/hid_transport.h"

namespace dravenholt {
namespace {
constexpr size_t kSerialLength = 12;
constexpr uint32_t kPortTimeoutMs = 10000;

// The configured vendor and product IDs, as 16-bit USB IDs.
uint16_t vendorIdOf(const Settings& settings) { return static_cast<uint16_t>(settings.vendorId); }
uint16_t productIdOf(const Settings& settings) { return static_cast<uint16_t>(settings.productId); }
}  // namespace

std::vector<uint64_t> listHidDevices(const Settings& settings) {
    std::vector<uint64_t> ids;
    std::unique_ptr<char*, void (*)(char**)> serials(listDeviceSerials(vendorIdOf(settings), productIdOf(settings)),
                                                     freeDeviceSerials);
    if (!serials) return ids;
    for (char** serial = serials.get(); *serial; ++serial) {
        if (std::strlen(*serial) == kSerialLength) ids.push_back(deviceIdFromSerial(*serial));
    }
    return ids;
}

std::unique_ptr<Transport> makeHidTransport(uint64_t deviceId, const Settings& settings, LogTarget& log) {
    auto transport = std::make_unique<HidTransport>(&log);
    transport->setTimeout(kPortTimeoutMs);
    // The transport looks for its device as the lister found it: by the configured IDs (by the
    // maker's manufacturer string where the vendor ID is 0) and the serial number, which comes
    // back in upper case and is compared without regard to case.
    transport->setDeviceIds(vendorIdOf(settings), productIdOf(settings));
    transport->setSerialNumber(serialFromDeviceId(deviceId).c_str());
    transport->setUsagePage(static_cast<uint16_t>(settings.usagePage));
    return transport;
}

std::string hidProductName(Transport& transport) {
    auto* hid = dynamic_cast<HidTransport*>(&transport);
    return hid ? hid->getProductName() : std::string();
}

}  // namespace dravenholt
