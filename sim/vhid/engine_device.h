// The simulator's engine behind a virtual HID device. Every host handle of the device (each
// hid_open ... hid_close, so each process) is a client of the engine of its own: closing the
// handle, or losing it because the process died or the device was unplugged, ends that client's
// sessions, session objects and login, as a token ends them when its host lets go of it.
#pragma once

#include <memory>

#include "engine/engine.h"
#include "vhid/vhid.h"

namespace dravenholt::vhid {

HostResponder engineResponder(std::shared_ptr<sim::Engine> engine);

}  // namespace dravenholt::vhid
