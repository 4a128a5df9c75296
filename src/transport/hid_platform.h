// What the HID transport needs from the platform beyond hidapi itself.
//
// A device's reports are as long as its longest input report, report ID byte included, as the
// platform's HID stack counts it. hidapi 0.13 tells neither that length nor the report
// descriptor it comes from, so the transport asks through orvo_hid_input_report_length. The
// shipped library answers from the report descriptor on Linux (transport/hidraw/, with the
// hidraw ioctls) and from the HID stack's capabilities of the device on Windows
// (transport/winhid/). The pause after opening a device belongs to the platform too: a USB
// device needs it (transport/usbhid/, on both). The virtual hidapi backend of the test programs
// answers both for its virtual devices, which are ready at once.
#pragma once

extern "C" {

// The input report length in bytes of the HID device at `path` (a path as hid_enumerate gives
// it), report ID byte included; -1 when the platform cannot tell.
int orvo_hid_input_report_length(const char* path);

// Gives a device that was just opened `milliseconds` to settle before the first report.
void orvo_hid_settle(unsigned milliseconds);
}
