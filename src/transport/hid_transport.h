// A device attached by USB HID: report framing or U2F HID framing over hidapi, with a receive
// queue that hands a reply out in pieces of any size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include <hidapi/hidapi.h>

#include "base/log_target.h"
#include "transport/transport.h"

namespace dravenholt {

struct HidCloser {
    void operator()(hid_device* handle) const { hid_close(handle); }
};
using HidHandle = std::unique_ptr<hid_device, HidCloser>;

class HidTransport : public Transport {
public:
    // Channel identifier while the report framing is in force.
    static constexpr uint32_t kReportFraming = 0xFFFFFFFF;
    static constexpr uint32_t kDefaultTimeoutMs = 4000;

    explicit HidTransport(LogTarget* log = nullptr) : log_(log) {}
    ~HidTransport() override = default;
    HidTransport(const HidTransport&) = delete;
    HidTransport& operator=(const HidTransport&) = delete;

    // Finds the device by the filters below and opens it (see hid_discovery.h), learns its report
    // length and asks whether it speaks U2F. Throws DeviceError "Device not detected" or
    // "Unable to connect to device".
    void open() override;
    bool isOpen() override { return handle_ != nullptr; }
    // Releases the handle; the receive queue keeps its bytes.
    void close() override { handle_.reset(); }
    void setTimeout(uint32_t milliseconds) override { timeoutMs_ = milliseconds; }
    uint32_t getTimeout() override { return timeoutMs_; }
    size_t read(uint8_t* buffer, size_t capacity) override;
    size_t write(const uint8_t* data, size_t length) override;
    size_t write(const std::string& data) override;
    TransportKind kind() const override { return TransportKind::Hid; }
    // Empties the receive queue and drops every report the device sent before now. A handle
    // that reads an error has lost its device: the transport opens it again (throwing as open
    // does when it is not there), so a device unplugged and plugged back in is used again.
    void discardStale() override;
    // hid_close of the hidraw backend closes only this process's descriptor: no report goes to
    // the device and the parent's handle stays open. Queued bytes belong to the parent's
    // exchange.
    void abandon() override {
        queue_.clear();
        handle_.reset();
    }

    virtual void setDeviceIds(uint16_t vendorId, uint16_t productId);
    virtual void setProductName(const char* name) { productName_ = name ? name : ""; }
    virtual const std::string& getProductName() { return productName_; }
    virtual void setSerialNumber(const char* serial) { serialNumber_ = serial ? serial : ""; }
    virtual const std::string& getSerialNumber() { return serialNumber_; }
    virtual uint16_t getReleaseNumber() { return releaseNumber_; }
    virtual void setUsagePage(uint16_t usagePage) { usagePage_ = usagePage; }
    virtual uint16_t getProductId() { return productId_; }
    virtual uint16_t getVendorId() { return vendorId_; }

    // For diagnostics: the U2F channel (kReportFraming when none), the report length in bytes
    // with the report ID, and the bytes waiting in the receive queue.
    uint32_t channel() const { return channel_; }
    size_t reportLength() const { return inLength_; }
    size_t queued() const { return queue_.size(); }

private:
    bool usesU2f() const { return channel_ != kReportFraming; }

    LogTarget* log_;
    uint32_t channel_ = kReportFraming;
    HidHandle handle_;
    uint16_t vendorId_ = 0;
    uint16_t productId_ = 0;
    size_t outLength_ = 0;
    size_t inLength_ = 0;
    uint32_t timeoutMs_ = kDefaultTimeoutMs;
    std::deque<uint8_t> queue_;
    std::string productName_;
    std::string serialNumber_;
    uint16_t usagePage_ = 0;
    uint16_t releaseNumber_ = 0;
};

}  // namespace dravenholt
