// The USB HID pair of device lister and transport factory, the context's default.
#include "transport/hid_pair.h"

#include <cstring>

#include "frame/context.h"
#include "transport/device_id.h"
#include "transport/hid_discovery.h"
#include "transport/hid_transport.h"

namespace dravenholt {
namespace {
constexpr size_t kSerialLength = 12;
constexpr uint32_t kPortTimeoutMs = 10000;

// The configured vendor and product IDs, as 16-bit USB IDs.
uint16_t vendorIdOf(const CContext& context) { return static_cast<uint16_t>(context.vendorId); }
uint16_t productIdOf(const CContext& context) { return static_cast<uint16_t>(context.productId); }
}  // namespace

std::vector<uint64_t> listHidDevices(CContext& context) {
    std::vector<uint64_t> ids;
    std::unique_ptr<char*, void (*)(char**)> serials(listDeviceSerials(vendorIdOf(context), productIdOf(context)),
                                                     freeDeviceSerials);
    if (!serials) return ids;
    for (char** serial = serials.get(); *serial; ++serial) {
        if (std::strlen(*serial) == kSerialLength) ids.push_back(deviceIdFromSerial(*serial));
    }
    return ids;
}

std::unique_ptr<CTransport> makeHidTransport(uint64_t deviceId, CContext& context) {
    auto transport = std::make_unique<CHIDTransport>(&context);
    transport->setTimeout(kPortTimeoutMs);
    // The transport looks for its device as the lister found it: by the configured IDs (by the
    // maker's manufacturer string where the vendor ID is 0) and the serial number, which comes
    // back in upper case and is compared without regard to case.
    transport->setDeviceIds(vendorIdOf(context), productIdOf(context));
    transport->setSerialNumber(serialFromDeviceId(deviceId).c_str());
    transport->setUsagePage(static_cast<uint16_t>(context.usagePage));
    return transport;
}

std::string hidProductName(CTransport& transport) {
    auto* hid = dynamic_cast<CHIDTransport*>(&transport);
    return hid ? hid->getProductName() : std::string();
}

}  // namespace dravenholt
