// A device lister and the transport factory that goes with it: the USB HID pair, the network
// pair, or a test's own. The lister names the devices found with the settings; the factory makes
// the transport of one of them, which logs to the target given.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "base/log_target.h"
#include "settings/settings.h"
#include "transport/transport.h"

namespace dravenholt {

using DeviceLister = std::function<std::vector<uint64_t>(const Settings&)>;
using TransportFactory = std::function<std::unique_ptr<Transport>(uint64_t, const Settings&, LogTarget&)>;

}  // namespace dravenholt
