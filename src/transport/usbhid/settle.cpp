// The pause that gives a USB device time to settle after it was opened, on every platform.
#include <chrono>
#include <thread>

#include "transport/hid_platform.h"

extern "C" void orvo_hid_settle(unsigned milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
