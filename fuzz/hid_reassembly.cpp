// HID report and U2F frame reassembly from arbitrary report streams through the real transport over
// virtual devices (failing reads and writes, reads into buffers of exactly their capacity, stale reports
// discarded), the U2F handshake, the report descriptor parser and the serial list over any USB strings.
//
// Input: a transport byte (report framing with one of several report lengths, or U2F), then
// operations, each an operation byte and its arguments.
#include <chrono>

#include "base/errors.h"
#include "support/fuzz_input.h"
#include "transport/hid_descriptor.h"
#include "transport/hid_discovery.h"
#include "transport/hid_transport.h"
#include "transport/hid_u2f.h"
#include "vhid/vhid.h"

using namespace fuzzin;
namespace vhid = dravenholt::vhid;

namespace {

// The channel an input's U2F frames name: it stands for the one the device allocated.
constexpr uint8_t kInputChannel[4] = {0x01, 0x02, 0x03, 0x04};

// One virtual device per way of framing, silent (an input's reports are all it sends), each
// with a transport open on it. The U2F device answers only the allocation at open.
struct Target {
    std::shared_ptr<vhid::VirtualDevice> device;
    std::unique_ptr<dravenholt::HidTransport> transport;
    vhid::Faults faults;
    uint8_t channel[4] = {};
};
std::vector<Target> targets;
hid_device* bareHandle = nullptr;  // on the U2F device, for the handshake alone

// Opens the target's transport anew when an earlier input left it closed or without its
// channel: the device answers the allocation only then.
void ready(Target& t) {
    const bool u2f = t.device->profile().framing == vhid::Framing::U2f;
    auto framed = [&] { return (t.transport->channel() != dravenholt::HidTransport::kReportFraming) == u2f; };
    if (t.transport->isOpen() && framed()) return;
    t.faults = vhid::Faults{.silent = true};
    t.device->setFaults(t.faults);
    t.transport->open();
    t.transport->setTimeout(0);
    require(framed(), "the transport did not open with its framing");
    for (int i = 0; i < 4; ++i) t.channel[i] = static_cast<uint8_t>(t.transport->channel() >> (24 - 8 * i));
    // From here on the device sends nothing of its own and every injected report reaches the handles
    // before the next operation, so no read (a handshake's included) needs to wait.
    t.faults.ignoreInit = true;
    t.faults.waitCap = std::chrono::milliseconds(0);
    t.device->setFaults(t.faults);
}

Target openTarget(const char* serial, vhid::DeviceProfile profile) {
    profile.serial = std::wstring(serial, serial + std::strlen(serial));
    Target t{vhid::plugIn(profile), std::make_unique<dravenholt::HidTransport>(), {}};
    t.transport->setSerialNumber(serial);
    ready(t);
    return t;
}

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

// The serial number list with a device whose manufacturer, product and serial strings are the
// input's (a device may claim anything).
void listWithStrings(Input& in) {
    vhid::DeviceProfile profile;
    std::wstring manufacturer = wideString(in);
    profile.product = wideString(in);
    profile.serial = wideString(in);
    if (!(in.u8() & 1)) profile.manufacturer = manufacturer;
    auto device = vhid::plugIn(profile);
    char** serials = dravenholt::listDeviceSerials(in.u8() & 1 ? 0x0483 : 0, 0);
    for (char** serial = serials; serial && *serial; ++serial)
        require(std::strlen(*serial) < 256, "a serial number longer than the conversion buffer");
    dravenholt::freeDeviceSerials(serials);
    vhid::unplug(device);
}

void operate(Target& target, Input& in) {
    dravenholt::HidTransport& transport = *target.transport;
    const uint8_t operation = in.u8() % 8;
    switch (operation) {
        case 0:
        case 1: {  // a report from the device (most operations are these)
            uint8_t length = in.u8();
            std::vector<uint8_t> report = in.bytes(length < 0xF0 ? length : in.u16() % 5000);
            if (report.size() >= 4 && std::memcmp(report.data(), kInputChannel, 4) == 0)
                std::memcpy(report.data(), target.channel, 4);
            if (!report.empty()) target.device->inject(std::move(report));  // an empty one: nothing arrives
            target.device->flush();
            break;
        }
        case 2:  // reads fail, or work again
        case 6:  // writes fail, or work again
            (operation == 2 ? target.faults.failReads : target.faults.failWrites) ^= true;
            target.device->setFaults(target.faults);
            break;
        case 3: {
            Buffer buffer(in.u16() % 9000);
            require(transport.read(buffer.get(), buffer.size()) <= buffer.size(), "read returned more than its capacity");
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
    targets.push_back(openTarget("0000000000A1", {.describesReports = false}));  // 65 bytes, the fallback
    targets.push_back(openTarget("0000000000A2", {.reportSize = 8}));            // the shortest accepted
    targets.push_back(openTarget("0000000000A3", {.reportSize = 301}));
    targets.push_back(openTarget("0000000000A4", {.framing = vhid::Framing::U2f}));
    bareHandle = hid_open_path(targets[3].device->path().c_str());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    Target& target = targets[in.u8() % targets.size()];
    for (Target& t : targets) {
        t.faults.failReads = t.faults.failWrites = false;
        t.device->setFaults(t.faults);
    }
    ready(target);
    for (uint8_t stale[128]; hid_read_timeout(bareHandle, stale, sizeof stale, 0) > 0;) {
    }
    target.transport->discardStale();
    while (!in.empty()) {
        try {
            operate(target, in);
        } catch (const dravenholt::DeviceError&) {
            // a refused report or write: the transport's documented answer
        }
    }
    // Nothing the input started is left running, and nothing it recorded stays behind: what the
    // input allocated, it freed (else each input would cost a leak check).
    for (Target& t : targets) {
        t.device->flush();
        t.device->clearRecords();
    }
    return 0;
}
