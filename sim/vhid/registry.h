// The virtual devices that are plugged in, in the order they were plugged in.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "vhid/device_model.h"
#include "vhid/hub.h"
#include "vhid/vhid.h"

namespace dravenholt::vhid {

struct VirtualDevice::State {
    State(const DeviceProfile& profile, HostResponder responder, std::string path);

    DeviceProfile profile;
    std::string path;  // also the name of the hub's socket
    DeviceModel model;
    std::unique_ptr<Hub> hub;  // last member: its thread uses the model

    // Host-side faults, apart from the device thread's lock so a forked process never waits
    // for a lock that thread held.
    mutable std::mutex hostMutex;
    Faults hostFaults;
    std::atomic<size_t> opened{0};
};

std::vector<std::shared_ptr<VirtualDevice>> pluggedDevices();
std::shared_ptr<VirtualDevice> findDevice(const std::string& path);

}  // namespace dravenholt::vhid
