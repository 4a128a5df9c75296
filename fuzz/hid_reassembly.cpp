// HID report reassembly and U2F frame reassembly from arbitrary report streams, through the real
// transport: reports of any length, IDs and packet types, read errors, reads of any capacity
// (into buffers of exactly that size), writes, stale-report discarding, the U2F channel
// handshake, the report descriptor parser and the serial number list over the device's own
// USB strings.
//
// Input: a transport byte (report framing with one of several report lengths, or U2F), then
// operations, each an operation byte and its arguments.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "base/errors.h"
#include "support/fuzz_input.h"
#include "support/scripted_hid.h"
#include "transport/hid_descriptor.h"
#include "transport/hid_discovery.h"
#include "transport/hid_transport.h"
#include "transport/hid_u2f.h"

using fuzzin::Input;
using fuzzin::require;

namespace {

constexpr uint32_t kChannel = 0x01020304;

// A report descriptor declaring one input report of `bytes` bytes without a report ID.
fuzzhid::Bytes descriptorFor(uint16_t bytes) {
    return {0x06, 0x00, 0xFF,                                            // usage page (vendor)
            0x09, 0x01, 0xA1, 0x01,                                      // usage, collection
            0x75, 0x08,                                                  // report size 8
            0x96, static_cast<uint8_t>(bytes), static_cast<uint8_t>(bytes >> 8),  // report count
            0x09, 0x01, 0x81, 0x02, 0xC0};                               // usage, input, end
}

std::vector<std::unique_ptr<dravenholt::HidTransport>> transports;
hid_device* bareHandle = nullptr;  // for the handshake alone

std::unique_ptr<dravenholt::HidTransport> openTransport(std::optional<fuzzhid::Bytes> descriptor, bool u2f) {
    fuzzhid::Device& device = fuzzhid::device();
    device.descriptor = std::move(descriptor);
    device.u2fChannel = u2f ? std::optional<uint32_t>(kChannel) : std::nullopt;
    auto transport = std::make_unique<dravenholt::HidTransport>();
    transport->setSerialNumber("0123456789AB");
    transport->open();
    transport->setTimeout(0);
    device.u2fChannel.reset();
    device.input.clear();
    return transport;
}

struct Buffer {
    explicit Buffer(size_t size) : size(size), data(static_cast<uint8_t*>(std::malloc(size))) {}
    ~Buffer() { std::free(data); }
    size_t size;
    uint8_t* data;
};

// A wide string of the device's choosing, as its USB string descriptors may hold.
std::wstring wideString(Input& in) {
    std::wstring text(in.u8() % 300, L'\0');
    for (auto& ch : text) {
        uint32_t unit = in.u16();
        if (in.u8() & 0x80) unit |= 0x110000;  // beyond Unicode
        ch = static_cast<wchar_t>(unit);
    }
    return text;
}

// The serial number list over a device whose manufacturer, product and serial strings are the
// input's (a device may claim anything).
void listWithStrings(Input& in) {
    fuzzhid::Device& device = fuzzhid::device();
    fuzzhid::Device defaults;
    device.manufacturer = wideString(in);
    device.product = wideString(in);
    device.serial = wideString(in);
    if (in.u8() & 1) device.manufacturer = defaults.manufacturer;
    char** serials = dravenholt::listDeviceSerials(in.u8() & 1 ? 0x0483 : 0, 0);
    for (char** serial = serials; serial && *serial; ++serial)
        require(std::strlen(*serial) < 256, "a serial number longer than the conversion buffer");
    dravenholt::freeDeviceSerials(serials);
    device.manufacturer = defaults.manufacturer;
    device.product = defaults.product;
    device.serial = defaults.serial;
}

void operate(dravenholt::HidTransport& transport, Input& in) {
    fuzzhid::Device& device = fuzzhid::device();
    switch (in.u8() % 8) {
        case 0:
        case 1: {  // a report from the device (most operations are these)
            uint8_t length = in.u8();
            device.input.push_back(in.bytes(length < 0xF0 ? length : in.u16() % 5000));
            break;
        }
        case 2:  // a read error
            device.input.push_back(std::nullopt);
            break;
        case 3: {
            Buffer buffer(in.u16() % 9000);
            size_t got = transport.read(buffer.data, buffer.size);
            require(got <= buffer.size, "read returned more than its capacity");
            break;
        }
        case 4: {
            std::vector<uint8_t> request = in.bytes(in.u16() % 4000);
            transport.write(request.data(), request.size());
            break;
        }
        case 5:
            transport.discardStale();
            require(transport.queued() == 0, "bytes left queued after discarding");
            break;
        case 6:
            device.failWrites = !device.failWrites;
            break;
        default:
            switch (in.u8() % 3) {
                case 0: {
                    std::vector<uint8_t> descriptor = in.bytes(in.u16() % 600);
                    auto length = dravenholt::inputReportLength(descriptor.data(), descriptor.size());
                    require(!length || *length >= 1, "a report length without its ID byte");
                    break;
                }
                case 1: dravenholt::u2f::handshake(bareHandle, nullptr); break;
                default: listWithStrings(in);
            }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    transports.push_back(openTransport(std::nullopt, false));         // 65 bytes, the fallback
    transports.push_back(openTransport(descriptorFor(7), false));     // 8 bytes, the shortest accepted
    transports.push_back(openTransport(descriptorFor(300), false));   // 301 bytes
    transports.push_back(openTransport(descriptorFor(63), true));     // U2F frames
    require(transports[3]->channel() == kChannel, "the U2F handshake failed");
    bareHandle = hid_open_path("scripted");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    fuzzhid::Device& device = fuzzhid::device();
    device.input.clear();
    device.failWrites = false;
    dravenholt::HidTransport& transport = *transports[in.u8() % transports.size()];
    transport.discardStale();
    while (!in.empty()) {
        try {
            operate(transport, in);
        } catch (const dravenholt::DeviceError&) {
            // a refused report or write: the transport's documented answer
        }
    }
    return 0;
}
