// The pause after opening a device, asked for through the transport's platform seam. A virtual
// device is ready as soon as it is open, so the backend records the request and returns.
#include <atomic>

#include "transport/hid_platform.h"
#include "vhid/vhid.h"

namespace {
std::atomic<unsigned> lastRequest{0};
}  // namespace

std::chrono::milliseconds dravenholt::vhid::lastSettleRequest() { return std::chrono::milliseconds(lastRequest.load()); }

extern "C" void orvo_hid_settle(unsigned milliseconds) { lastRequest = milliseconds; }
