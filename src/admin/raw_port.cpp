// Raw port interface: a HidTransport of the caller's own, outside the port registry and the
// library context. The calls are held (see frame/call_hold.h): hidapi's state stays while any runs.
#include "orvo/raw_port.h"

#include <cstdio>
#include <exception>
#include <memory>

#include "base/call_hold.h"
#include "base/pkcs11.h"
#include "transport/hid_discovery.h"
#include "transport/hid_transport.h"

using dravenholt::HidTransport;
using dravenholt::held;
using dravenholt::Transport;

namespace {

Transport* asTransport(void* port) { return static_cast<Transport*>(port); }

const char* messageOf(const std::exception& e) { return e.what() ? e.what() : "null"; }

}  // namespace

ORVO_EXPORT char** pListDevices(uint16_t vendorId, uint16_t productId) {
    return held([&] { return dravenholt::listDeviceSerials(vendorId, productId); });
}

ORVO_EXPORT void vFreeDeviceList(char** list) {
    held([&] { dravenholt::freeDeviceSerials(list); });
}

ORVO_EXPORT void* pOpenPort(uint16_t vendorId, uint16_t productId, uint32_t timeoutMs,
                            const char* productName, const char* serialNumber) {
    return held([&]() -> void* {
        try {
            auto transport = std::make_unique<HidTransport>();
            transport->setDeviceIds(vendorId, productId);
            if (productName) transport->setProductName(productName);
            if (serialNumber) transport->setSerialNumber(serialNumber);
            transport->open();
            transport->setTimeout(timeoutMs);
            return static_cast<Transport*>(transport.release());
        } catch (const std::exception& e) {
            std::fprintf(stderr, "Error opening port: %s\n", messageOf(e));
        } catch (...) {
            std::fprintf(stderr, "Error opening port: %s\n", "unknown error");
        }
        return nullptr;
    });
}

ORVO_EXPORT bool bWrite(void* port, const uint8_t* data, uint32_t length) {
    return held([&] {
        if (!port || (!data && length != 0)) return false;
        try {
            asTransport(port)->write(data, length);
            return true;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "Error writing to port %s\n", messageOf(e));
        } catch (...) {
            std::fprintf(stderr, "Error writing to port %s\n", "unknown error");
        }
        return false;
    });
}

ORVO_EXPORT bool bRead(void* port, uint8_t* buffer, uint32_t* length) {
    return held([&] {
        if (!port || !length || (!buffer && *length != 0)) return false;
        try {
            *length = static_cast<uint32_t>(asTransport(port)->read(buffer, *length));
            return true;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "Error reading from port%s\n", messageOf(e));
        } catch (...) {
            std::fprintf(stderr, "Error reading from port%s\n", "unknown error");
        }
        *length = 0;
        return false;
    });
}

ORVO_EXPORT void vClosePort(void* port) {
    held([&] {
        if (port) asTransport(port)->close();
    });
}
