#include "transport/hid_discovery.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <set>

#include "base/errors.h"
#include "transport/hid_access.h"
#include "transport/hid_text.h"

namespace dravenholt {
namespace {

struct EnumerationFree {
    void operator()(hid_device_info* list) const { hid_free_enumeration(list); }
};
using Enumeration = std::unique_ptr<hid_device_info, EnumerationFree>;

// Caller holds hidApiMutex().
Enumeration enumerate(uint16_t vendorId, uint16_t productId) {
    hid_init();
    return Enumeration(hid_enumerate(vendorId, productId));
}

bool hasIdentity(const hid_device_info& record) {
    return record.serial_number && record.manufacturer_string && record.serial_number[0] != L'\0';
}

// Serial numbers are hexadecimal numbers: a slot carries the number and names it in upper
// case, the device may spell it in lower case. Bytes outside ASCII compare as they are.
bool sameSerial(const std::string& a, const std::string& b) {
    auto fold = [](unsigned char c) { return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return fold(x) == fold(y); });
}

// A product ID of 0 takes every product of the vendor, as the enumeration does.
bool matchesIds(const hid_device_info& record, const DeviceFilter& filter) {
    return filter.vendorId == 0 || (record.vendor_id == filter.vendorId &&
                                    (filter.productId == 0 || record.product_id == filter.productId));
}

// Tests 4 and 5 of the choice: IDs, then product name and serial number.
bool matchesIdentity(const hid_device_info& record, const DeviceFilter& filter) {
    if (!matchesIds(record, filter)) return false;
    if (!filter.productName.empty()) {
        auto product = narrowHidString(record.product_string);
        if (!product || *product != filter.productName) return false;
        if (filter.serialNumber.empty()) return true;
    } else if (filter.serialNumber.empty()) {
        return filter.vendorId != 0;
    }
    auto serial = narrowHidString(record.serial_number);
    return serial && sameSerial(*serial, filter.serialNumber);
}

const hid_device_info* choose(const hid_device_info* list, const DeviceFilter& filter, uint16_t& releaseNumber) {
    for (const hid_device_info* record = list; record; record = record->next) {
        if (!hasIdentity(*record)) continue;
        if (filter.vendorId == 0 && !isMakersDevice(record->manufacturer_string)) continue;
        if (filter.usagePage != 0 && record->usage_page != filter.usagePage) continue;
        releaseNumber = record->release_number;
        if (matchesIdentity(*record, filter)) return record;
    }
    return nullptr;
}

char** toCArray(const std::set<std::string>& serials) {
    auto** list = static_cast<char**>(std::calloc(serials.size() + 1, sizeof(char*)));
    if (!list) return nullptr;
    size_t i = 0;
    for (const auto& serial : serials) {
        list[i] = static_cast<char*>(std::malloc(serial.size() + 1));
        if (!list[i]) {
            freeDeviceSerials(list);
            return nullptr;
        }
        std::memcpy(list[i++], serial.c_str(), serial.size() + 1);
    }
    return list;
}

}  // namespace

char** listDeviceSerials(uint16_t vendorId, uint16_t productId) {
    std::set<std::string> serials;
    try {
        std::lock_guard<std::mutex> lock(hidApiMutex());
        Enumeration devices = enumerate(vendorId, productId);
        for (const hid_device_info* record = devices.get(); record; record = record->next) {
            if (!hasIdentity(*record)) continue;
            if (vendorId == 0 && !isMakersDevice(record->manufacturer_string)) continue;
            if (auto serial = narrowHidString(record->serial_number)) serials.insert(*serial);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Exception while enumerating HID devices. (%s)", e.what());
        return nullptr;
    }
    return toCArray(serials);
}

void freeDeviceSerials(char** list) {
    if (!list) return;
    for (char** entry = list; *entry; ++entry) std::free(*entry);
    std::free(list);
}

OpenedDevice openHidDevice(const DeviceFilter& filter, uint16_t& releaseNumber, LogTarget* log) {
    std::lock_guard<std::mutex> lock(hidApiMutex());
    Enumeration devices = enumerate(filter.vendorId, filter.productId);
    if (!devices) throw DeviceError("Device not detected");
    const hid_device_info* chosen = choose(devices.get(), filter, releaseNumber);
    if (!chosen || !chosen->path) throw DeviceError("Device not detected");
    OpenedDevice device;
    device.path = chosen->path;
    if (chosen->product_string) device.productName = narrowHidString(chosen->product_string);
    if (log) log->log(kDebug, "Opening device %s", chosen->path);
    device.handle.reset(hid_open_path(chosen->path));
    if (!device.handle) throw DeviceError("Unable to connect to device");
    return device;
}

}  // namespace dravenholt
