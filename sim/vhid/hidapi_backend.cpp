// hidapi's C functions over the virtual devices. A handle is one connection to a device's hub.
#include <hidapi/hidapi.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <cstring>
#include <cwchar>
#include <optional>

#include "vhid/registry.h"

using dravenholt::vhid::DeviceProfile;
using dravenholt::vhid::VirtualDevice;

struct hid_device_ {
    int fd = -1;
    std::shared_ptr<VirtualDevice> device;
    bool nonblocking = false;
    std::optional<std::wstring> error;

    ~hid_device_() {
        if (fd >= 0) ::close(fd);
    }
    int fail(const wchar_t* text) {
        error = text;
        return -1;
    }
};

namespace {

thread_local std::optional<std::wstring> openError = std::wstring(L"no virtual device opened yet");
constexpr wchar_t kUnsupported[] = L"not supported by the virtual device";
constexpr wchar_t kUnplugged[] = L"virtual device unplugged";
constexpr wchar_t kRefused[] = L"virtual device: report refused";

std::atomic<int> lastWait{0};
std::atomic<int> enumerating{0};
std::atomic<size_t> overlaps{0};

// Marks a call that real hidapi does not allow to overlap another one.
class NotThreadSafe {
public:
    NotThreadSafe() {
        if (enumerating.fetch_add(1) != 0) ++overlaps;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ~NotThreadSafe() { enumerating.fetch_sub(1); }
    NotThreadSafe(const NotThreadSafe&) = delete;
    NotThreadSafe& operator=(const NotThreadSafe&) = delete;
};

wchar_t* copyOf(const std::optional<std::wstring>& text) {
    if (!text) return nullptr;
    auto* copy = static_cast<wchar_t*>(std::malloc((text->size() + 1) * sizeof(wchar_t)));
    if (copy) std::wmemcpy(copy, text->c_str(), text->size() + 1);
    return copy;
}

bool matches(const DeviceProfile& profile, unsigned short vendorId, unsigned short productId) {
    return (vendorId == 0 || profile.vendorId == vendorId) && (productId == 0 || profile.productId == productId);
}

int copyString(hid_device* dev, const std::optional<std::wstring>& text, wchar_t* out, size_t maxlen) {
    if (!dev || !out || maxlen == 0) return -1;
    if (!text) return dev->fail(L"string not present");
    std::wcsncpy(out, text->c_str(), maxlen);
    out[maxlen - 1] = L'\0';
    return 0;
}

}  // namespace

size_t dravenholt::vhid::overlappingEnumerations() { return overlaps; }
int dravenholt::vhid::lastReadWait() { return lastWait; }

extern "C" {

int hid_init(void) {
    NotThreadSafe check;
    return 0;
}
int hid_exit(void) { return 0; }

struct hid_device_info* hid_enumerate(unsigned short vendor_id, unsigned short product_id) {
    NotThreadSafe check;
    hid_device_info* head = nullptr;
    hid_device_info** tail = &head;
    for (const auto& device : dravenholt::vhid::pluggedDevices()) {
        const DeviceProfile& profile = device->profile();
        if (!matches(profile, vendor_id, product_id)) continue;
        auto* info = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
        if (!info) break;
        info->path = strdup(device->path().c_str());
        info->vendor_id = profile.vendorId;
        info->product_id = profile.productId;
        info->serial_number = copyOf(profile.serial);
        info->release_number = profile.releaseNumber;
        info->manufacturer_string = copyOf(profile.manufacturer);
        info->product_string = copyOf(profile.product);
        info->usage_page = profile.usagePage;
        info->usage = profile.usage;
        info->interface_number = profile.interfaceNumber;
        info->bus_type = HID_API_BUS_USB;
        *tail = info;
        tail = &info->next;
    }
    return head;
}

void hid_free_enumeration(struct hid_device_info* devs) {
    NotThreadSafe check;
    while (devs) {
        hid_device_info* next = devs->next;
        std::free(devs->path);
        std::free(devs->serial_number);
        std::free(devs->manufacturer_string);
        std::free(devs->product_string);
        std::free(devs);
        devs = next;
    }
}

hid_device* hid_open_path(const char* path) {
    NotThreadSafe check;
    auto device = path ? dravenholt::vhid::findDevice(path) : nullptr;
    if (!device) {
        openError = L"no such virtual device";
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(device->state().hostMutex);
        if (device->state().hostFaults.refuseOpen) {
            openError = L"virtual device busy";
            return nullptr;
        }
    }
    int fd = dravenholt::vhid::Hub::connectTo(device->path());
    if (fd < 0) {
        openError = kUnplugged;
        return nullptr;
    }
    ++device->state().opened;
    auto* handle = new hid_device_;
    handle->fd = fd;
    handle->device = std::move(device);
    openError.reset();
    return handle;
}

hid_device* hid_open(unsigned short vendor_id, unsigned short product_id, const wchar_t* serial_number) {
    std::shared_ptr<VirtualDevice> found;
    {
        NotThreadSafe check;
        for (const auto& device : dravenholt::vhid::pluggedDevices()) {
            const DeviceProfile& profile = device->profile();
            if (!matches(profile, vendor_id, product_id)) continue;
            if (serial_number && (!profile.serial || *profile.serial != serial_number)) continue;
            found = device;
            break;
        }
    }
    if (found) return hid_open_path(found->path().c_str());
    openError = L"no such virtual device";
    return nullptr;
}

void hid_close(hid_device* dev) { delete dev; }

int hid_write(hid_device* dev, const unsigned char* data, size_t length) {
    if (!dev || !data || length == 0) return -1;
    {
        auto& state = dev->device->state();
        std::lock_guard<std::mutex> lock(state.hostMutex);
        if (state.hostFaults.failWrites) {
            dev->error = state.hostFaults.writeError;
            return -1;
        }
    }
    if (!dev->device->state().model.acceptsReportId(data[0])) return dev->fail(kRefused);
    ssize_t sent = ::send(dev->fd, data, length, MSG_NOSIGNAL);
    if (sent < 0) return dev->fail(kUnplugged);
    dev->error.reset();
    return static_cast<int>(sent);
}

int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds) {
    if (!dev || !data) return -1;
    lastWait = milliseconds;
    {
        auto& state = dev->device->state();
        std::lock_guard<std::mutex> lock(state.hostMutex);
        if (state.hostFaults.failReads) return dev->fail(L"virtual device: read failed");
        if (auto cap = state.hostFaults.waitCap; cap && (milliseconds < 0 || milliseconds > cap->count()))
            milliseconds = static_cast<int>(cap->count());
    }
    pollfd fd{dev->fd, POLLIN, 0};
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    int ready;
    do {
        int wait = milliseconds;
        if (milliseconds > 0) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            wait = static_cast<int>(std::max<int64_t>(left.count(), 0));
        }
        ready = ::poll(&fd, 1, wait);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return dev->fail(L"poll failed");
    if (ready == 0) return 0;
    ssize_t got = ::recv(dev->fd, data, length, MSG_DONTWAIT);
    if (got > 0) return static_cast<int>(got);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    return dev->fail(kUnplugged);
}

int hid_read(hid_device* dev, unsigned char* data, size_t length) {
    if (!dev) return -1;
    return hid_read_timeout(dev, data, length, dev->nonblocking ? 0 : -1);
}

int hid_set_nonblocking(hid_device* dev, int nonblock) {
    if (!dev) return -1;
    dev->nonblocking = nonblock != 0;
    return 0;
}

int hid_send_feature_report(hid_device* dev, const unsigned char*, size_t) {
    return dev ? dev->fail(kUnsupported) : -1;
}

int hid_get_feature_report(hid_device* dev, unsigned char*, size_t) { return dev ? dev->fail(kUnsupported) : -1; }
int hid_get_input_report(hid_device* dev, unsigned char*, size_t) { return dev ? dev->fail(kUnsupported) : -1; }
int hid_get_indexed_string(hid_device* dev, int, wchar_t*, size_t) { return dev ? dev->fail(kUnsupported) : -1; }

int hid_get_manufacturer_string(hid_device* dev, wchar_t* string, size_t maxlen) {
    return copyString(dev, dev ? dev->device->profile().manufacturer : std::nullopt, string, maxlen);
}

int hid_get_product_string(hid_device* dev, wchar_t* string, size_t maxlen) {
    return copyString(dev, dev ? dev->device->profile().product : std::nullopt, string, maxlen);
}

int hid_get_serial_number_string(hid_device* dev, wchar_t* string, size_t maxlen) {
    return copyString(dev, dev ? dev->device->profile().serial : std::nullopt, string, maxlen);
}

const wchar_t* hid_error(hid_device* dev) {
    const std::optional<std::wstring>& error = dev ? dev->error : openError;
    return error ? error->c_str() : nullptr;
}

const struct hid_api_version* hid_version(void) {
    static const hid_api_version version{HID_API_VERSION_MAJOR, HID_API_VERSION_MINOR, HID_API_VERSION_PATCH};
    return &version;
}

const char* hid_version_str(void) { return HID_API_VERSION_STR; }

}  // extern "C"
