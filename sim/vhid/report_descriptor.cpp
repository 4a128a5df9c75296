// Report descriptors of the virtual devices: the transport's platform seam answers the input
// report length from them with the library's own descriptor parser, as on Linux.
#include <climits>

#include "transport/hid_descriptor.h"
#include "transport/hid_platform.h"
#include "vhid/registry.h"

namespace dravenholt::vhid {
namespace {

void item(Bytes& out, uint8_t prefix, uint32_t value) {
    size_t size = value <= 0xFF ? 1 : value <= 0xFFFF ? 2 : 4;
    out.push_back(static_cast<uint8_t>(prefix | (size == 4 ? 3 : size)));
    for (size_t i = 0; i < size; ++i) out.push_back((value >> (8 * i)) & 0xFF);
}

// One vendor collection: a numbered input report (ID 2) and output report (ID 1) of
// reportSize - 1 data bytes each, or, for U2F, unnumbered 64-byte reports.
Bytes describe(const DeviceProfile& profile) {
    enum : uint8_t {
        kUsagePage = 0x04, kUsage = 0x08, kCollection = 0xA0, kEndCollection = 0xC0,
        kReportId = 0x84, kReportSize = 0x74, kReportCount = 0x94, kInput = 0x80, kOutput = 0x90
    };
    const bool numbered = profile.framing == Framing::Reports;
    const uint32_t dataBytes = numbered ? static_cast<uint32_t>(profile.reportSize - 1) : 64;
    Bytes out;
    item(out, kUsagePage, profile.usagePage);
    item(out, kUsage, profile.usage);
    item(out, kCollection, 0x01);
    item(out, kReportSize, 8);
    if (numbered) item(out, kReportId, 0x02);
    item(out, kReportCount, dataBytes);
    item(out, kUsage, 0x01);
    item(out, kInput, 0x02);
    if (numbered) item(out, kReportId, 0x01);
    item(out, kReportCount, dataBytes);
    item(out, kUsage, 0x01);
    item(out, kOutput, 0x02);
    out.push_back(kEndCollection);
    return out;
}

}  // namespace
}  // namespace dravenholt::vhid

extern "C" int orvo_hid_input_report_length(const char* path) {
    auto device = path ? dravenholt::vhid::findDevice(path) : nullptr;
    if (!device || !device->profile().describesReports) return -1;
    dravenholt::vhid::Bytes descriptor = dravenholt::vhid::describe(device->profile());
    auto length = dravenholt::inputReportLength(descriptor.data(), descriptor.size());
    return length && *length <= static_cast<size_t>(INT_MAX) ? static_cast<int>(*length) : -1;
}
