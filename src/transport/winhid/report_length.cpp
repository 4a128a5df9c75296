// The input report length of a HID device as the Windows HID stack reports it: the
// InputReportByteLength of the device's capabilities, report ID byte included.
#include <windows.h>

// mingw-w64's HID headers declare C functions without C linkage of their own.
extern "C" {
#include <hidsdi.h>  // with hidpi.h, after the usages it needs
}

#include <memory>
#include <type_traits>

#include "platform/windows/handle.h"
#include "transport/hid_platform.h"

namespace {

struct PreparsedDataFree {
    void operator()(PHIDP_PREPARSED_DATA data) const { ::HidD_FreePreparsedData(data); }
};
using PreparsedData = std::unique_ptr<std::remove_pointer_t<PHIDP_PREPARSED_DATA>, PreparsedDataFree>;

}  // namespace

extern "C" int orvo_hid_input_report_length(const char* path) {
    if (!path) return -1;
    // No access rights are needed for the capabilities, so a device that another process holds
    // open still answers.
    auto device = dravenholt::platform::ownHandle(::CreateFileA(
        path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (!device) return -1;
    PHIDP_PREPARSED_DATA rawData = nullptr;
    if (!::HidD_GetPreparsedData(device.get(), &rawData)) return -1;
    PreparsedData data(rawData);
    HIDP_CAPS caps{};
    if (::HidP_GetCaps(data.get(), &caps) != HIDP_STATUS_SUCCESS) return -1;
    return caps.InputReportByteLength > 0 ? static_cast<int>(caps.InputReportByteLength) : -1;
}
