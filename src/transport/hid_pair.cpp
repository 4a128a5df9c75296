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
}  // namespace

std::vector<uint64_t> listHidDevices(CContext& context) {
    std::vector<uint64_t> ids;
    std::unique_ptr<char*, void (*)(char**)> serials(
        listDeviceSerials(static_cast<uint16_t>(context.vendorId), static_cast<uint16_t>(context.productId)),
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
    transport->setSerialNumber(serialFromDeviceId(deviceId).c_str());
    transport->setUsagePage(static_cast<uint16_t>(context.usagePage));
    return transport;
}

std::string hidProductName(CTransport& transport) {
    auto* hid = dynamic_cast<CHIDTransport*>(&transport);
    return hid ? hid->getProductName() : std::string();
}

}  // namespace dravenholt
