#include "transport/hid_transport.h"

#include <algorithm>
#include <vector>

#include "base/errors.h"
#include "transport/hid_descriptor.h"
#include "transport/hid_discovery.h"
#include "transport/hid_platform.h"
#include "transport/hid_report_framing.h"
#include "transport/hid_u2f.h"

namespace dravenholt {
namespace {
constexpr unsigned kSettleTimeMs = 500;
// More reports than a device can have queued for one reader; a device that keeps sending
// cannot hold discardStale forever.
constexpr size_t kMaxStaleReports = 1024;
}  // namespace

void HidTransport::setDeviceIds(uint16_t vendorId, uint16_t productId) {
    vendorId_ = vendorId;
    productId_ = productId;
}

void HidTransport::open() {
    close();
    DeviceFilter filter{vendorId_, productId_, usagePage_, productName_, serialNumber_};
    OpenedDevice device = openHidDevice(filter, releaseNumber_, log_);
    if (device.productName) productName_ = *device.productName;
    handle_ = std::move(device.handle);
    orvo_hid_settle(kSettleTimeMs);
    outLength_ = inLength_ = reportLengthOf(device.path.c_str(), log_);
    channel_ = kReportFraming;
    if (auto channel = u2f::handshake(handle_.get(), log_)) channel_ = *channel;
}

size_t HidTransport::write(const uint8_t* data, size_t length) {
    if (!handle_) throw DeviceError("Null handle");
    if (usesU2f()) {
        u2f::send(handle_.get(), channel_, data, length);
        return length;
    }
    if (length > reports::kMaxMessage) throw DeviceError("Request too long");
    reports::send(handle_.get(), outLength_, data, length);
    return length;
}

size_t HidTransport::write(const std::string& data) {
    return write(reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

size_t HidTransport::read(uint8_t* buffer, size_t capacity) {
    if (queue_.size() < capacity) {
        if (usesU2f()) {
            u2f::receive(handle_.get(), channel_, capacity, timeoutMs_, queue_, log_);
        } else {
            if (!handle_) throw DeviceError("Null handle");
            reports::receive(handle_.get(), inLength_, timeoutMs_, queue_);
        }
    }
    size_t count = std::min(capacity, queue_.size());
    std::copy_n(queue_.begin(), count, buffer);
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(count));
    return count;
}

void HidTransport::discardStale() {
    queue_.clear();
    if (!handle_) return;
    size_t length = usesU2f() ? u2f::kFrameLength : inLength_;
    std::vector<uint8_t> report(std::max(length, u2f::kFrameLength) + 1);
    for (size_t dropped = 0; dropped < kMaxStaleReports; ++dropped) {
        int got = hid_read_timeout(handle_.get(), report.data(), length, 0);
        if (got == 0) return;
        if (got < 0) {
            // The handle has lost its device (unplugged, reset): find the device again, or fail
            // this call and leave the transport closed for the next one to open.
            if (log_) log_->logMessage(kInfo, "HID device lost; opening it again.");
            open();
            return;
        }
    }
}

}  // namespace dravenholt
