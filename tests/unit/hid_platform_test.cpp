// The platform's answer for the report length of a device it does not know, on every platform
// (hidraw or the virtual backend on Linux, the HID stack's capabilities on Windows).
#include <gtest/gtest.h>

#include "transport/hid_descriptor.h"
#include "transport/hid_platform.h"

TEST(HidPlatform, AnUnknownDeviceHasNoReportLengthAndTheTransportAssumesOne) {
    EXPECT_EQ(orvo_hid_input_report_length(nullptr), -1);
    const char* unknown = "\\\\?\\hid#vid_0483&pid_a2ac#0&0&0#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    EXPECT_EQ(orvo_hid_input_report_length(unknown), -1);
    EXPECT_EQ(orvo_hid_input_report_length("/dev/hidraw-orvo-none"), -1);
    EXPECT_EQ(dravenholt::reportLengthOf(unknown, nullptr), dravenholt::kFallbackReportLength);
}
