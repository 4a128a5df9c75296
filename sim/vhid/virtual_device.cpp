#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "vhid/registry.h"

namespace dravenholt::vhid {
namespace {

struct Registry {
    std::mutex mutex;
    std::vector<std::shared_ptr<VirtualDevice>> devices;
};

// Never destroyed: a forked process that leaves through exit() must not tear down devices
// whose threads live in its parent.
Registry& registry() {
    static Registry* instance = new Registry;
    return *instance;
}

// A responder that takes every host alike; an empty one stays empty (the device never answers).
HostResponder forAnyHost(Responder responder) {
    if (!responder) return {};
    return {[responder = std::move(responder)](uint32_t, const Bytes& request) { return responder(request); }, {}};
}

std::string newPath() {
    static std::atomic<unsigned> counter{0};
    return "vhid-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

}  // namespace

VirtualDevice::State::State(const DeviceProfile& profile_, HostResponder responder, std::string path_)
    : profile(profile_), path(std::move(path_)), model(profile_, std::move(responder)) {
    hub = std::make_unique<Hub>(
        path, [this](uint32_t host, const Bytes& report) { return model.onReport(host, report); },
        [this](uint32_t host) { model.onHostClosed(host); });
}

VirtualDevice::VirtualDevice(std::unique_ptr<State> state) : state_(std::move(state)) {}
VirtualDevice::~VirtualDevice() = default;

const DeviceProfile& VirtualDevice::profile() const { return state_->profile; }
const std::string& VirtualDevice::path() const { return state_->path; }
void VirtualDevice::setResponder(Responder responder) { state_->model.setResponder(forAnyHost(std::move(responder))); }

void VirtualDevice::setFaults(const Faults& faults) {
    state_->model.setFaults(faults);
    std::lock_guard<std::mutex> lock(state_->hostMutex);
    state_->hostFaults = faults;
}

Faults VirtualDevice::faults() const { return state_->model.faults(); }

void VirtualDevice::inject(Bytes report, std::chrono::milliseconds delay) {
    if (state_->hub) state_->hub->send(std::move(report), delay);
}

void VirtualDevice::flush() {
    if (state_->hub) state_->hub->flush();
}

std::vector<Bytes> VirtualDevice::requests() const { return state_->model.requests(); }
std::vector<Bytes> VirtualDevice::writtenReports() const { return state_->model.writtenReports(); }

bool VirtualDevice::waitForRequests(size_t count, std::chrono::milliseconds timeout) const {
    return state_->model.waitForRequests(count, timeout);
}

std::vector<uint32_t> VirtualDevice::allocatedChannels() const { return state_->model.allocatedChannels(); }
std::vector<JournalEntry> VirtualDevice::journal() const { return state_->model.journal(); }
size_t VirtualDevice::timesOpened() const { return state_->opened; }
void VirtualDevice::clearRecords() { state_->model.clearRecords(); }

std::shared_ptr<VirtualDevice> plugIn(const DeviceProfile& profile, Responder responder) {
    return plugIn(profile, forAnyHost(std::move(responder)));
}

std::shared_ptr<VirtualDevice> plugIn(const DeviceProfile& profile, HostResponder responder) {
    auto device = std::make_shared<VirtualDevice>(std::make_unique<VirtualDevice::State>(profile, std::move(responder), newPath()));
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.devices.push_back(device);
    return device;
}

void unplug(const std::shared_ptr<VirtualDevice>& device) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::erase(r.devices, device);
    device->state().hub.reset();
}

void unplugAll() {
    std::vector<std::shared_ptr<VirtualDevice>> devices;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        devices.swap(r.devices);
    }
    for (auto& device : devices) device->state().hub.reset();
}

std::vector<std::shared_ptr<VirtualDevice>> pluggedDevices() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.devices;
}

std::shared_ptr<VirtualDevice> findDevice(const std::string& path) {
    for (auto& device : pluggedDevices())
        if (device->path() == path) return device;
    return nullptr;
}

}  // namespace dravenholt::vhid
