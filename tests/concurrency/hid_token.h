// A simulated token behind a virtual USB HID device, its engine in this process, so that
// processes forked from it reach one device through handles of their own, as processes reach a
// hidraw node.
#pragma once

#include <memory>
#include <vector>

#include "engine/engine.h"
#include "vhid/vhid.h"

namespace conc {

struct HidToken {
    std::shared_ptr<dravenholt::sim::Engine> engine;
    std::shared_ptr<dravenholt::vhid::VirtualDevice> device;
};

// Plugged in with the identifiers the library looks for by default.
HidToken plugInHidToken();

// Reports that reached the device from another host while an exchange was under way (between
// the first report of a request and the reply to it): 0 when no exchanges interleaved.
size_t intrusions(const std::vector<dravenholt::vhid::JournalEntry>& journal);

}  // namespace conc
