// What the HID transport needs from the platform beyond hidapi itself.
//
// hidapi 0.13 has no call for a device's report descriptor, so the transport asks through
// orvo_hid_read_report_descriptor. The shipped library implements it with the hidraw ioctls
// (transport/hidraw/); the virtual hidapi backend of the test programs answers it for its
// virtual devices. The pause after opening a device belongs to the platform too: a USB device
// needs it, a virtual device is ready at once.
#pragma once

#include <cstddef>

extern "C" {

// Copies up to `capacity` bytes of the report descriptor of the HID device at `path` (a path
// as hid_enumerate gives it) into `buffer`. Returns the number of bytes copied, or -1 when the
// platform cannot tell.
int orvo_hid_read_report_descriptor(const char* path, unsigned char* buffer, size_t capacity);

// Gives a device that was just opened `milliseconds` to settle before the first report.
void orvo_hid_settle(unsigned milliseconds);
}
