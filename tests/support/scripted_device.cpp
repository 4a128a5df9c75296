#include "support/scripted_device.h"

#include <cstring>

#include "frame/context.h"
#include "base/errors.h"
#include "protocol/function_ids.h"

namespace orvotest {
namespace {

class ScriptedTransport : public dravenholt::Transport {
public:
    explicit ScriptedTransport(DevicePtr device) : device_(std::move(device)) {}
    void open() override {
        close();
        std::lock_guard<std::mutex> g(device_->mutex);
        ++device_->opens;
        if (!device_->openError.empty()) throw dravenholt::DeviceError(device_->openError);
        open_ = true;
    }
    bool isOpen() override { return open_; }
    void close() override {
        if (!open_) return;
        std::lock_guard<std::mutex> g(device_->mutex);
        ++device_->closes;
        open_ = false;
    }
    void setTimeout(uint32_t ms) override {
        std::lock_guard<std::mutex> g(device_->mutex);
        device_->timeout = ms;
        device_->timeouts.push_back(ms);
    }
    uint32_t getTimeout() override {
        std::lock_guard<std::mutex> g(device_->mutex);
        return device_->timeout;
    }
    size_t write(const uint8_t* data, size_t length) override {
        Request request;
        std::lock_guard<std::mutex> g(device_->mutex);
        device_->rawRequests.emplace_back(data, data + length);
        if (!dravenholt::wire::decodeRequest(data, length, request)) request.function = 0xFFFFFFFF;
        device_->requests.push_back(request);
        Answer answer = device_->fallback;
        if (!device_->script.empty()) {
            answer = std::move(device_->script.front());
            device_->script.pop_front();
        }
        pending_ = answer(request);
        sentFrom_ = data;
        sentLength_ = length;
        return length;
    }
    size_t write(const std::string& data) override {
        return write(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    }
    size_t read(uint8_t* buffer, size_t capacity) override {
        {
            // The library's buffer outlives the exchange, which ends with this read.
            std::lock_guard<std::mutex> g(device_->mutex);
            if (sentFrom_) device_->heldAtRead.emplace_back(sentFrom_, sentFrom_ + sentLength_);
            sentFrom_ = nullptr;
        }
        size_t n = pending_.size() < capacity ? pending_.size() : capacity;
        if (n) std::memcpy(buffer, pending_.data(), n);
        pending_.clear();
        return n;
    }
    dravenholt::TransportKind kind() const override { return device_->kind; }

private:
    DevicePtr device_;
    bool open_ = false;
    Bytes pending_;
    const uint8_t* sentFrom_ = nullptr;
    size_t sentLength_ = 0;
};

}  // namespace

Bytes encode(const Response& response) {
    Bytes out;
    dravenholt::wire::encodeResponse(response, out, 4096);
    return out;
}

Answer reply(uint32_t rv) {
    Response r;
    r.rv = rv;
    return reply(r);
}

Answer reply(const Response& response) {
    Bytes bytes = encode(response);
    return [bytes](const Request&) { return bytes; };
}

Answer replyRaw(Bytes bytes) {
    return [bytes](const Request&) { return bytes; };
}

std::vector<Request> ScriptedDevice::calls() {
    std::lock_guard<std::mutex> g(mutex);
    std::vector<Request> out;
    for (const Request& r : requests)
        if (r.function != dravenholt::fn::SetDateTime) out.push_back(r);
    return out;
}

Request ScriptedDevice::lastCall() {
    auto all = calls();
    return all.empty() ? Request{} : all.back();
}

void installDevices(const std::vector<DevicePtr>& devices) {
    dravenholt::getContext().setDevicePair(
        [devices](const dravenholt::Settings&) {
            std::vector<uint64_t> ids;
            for (size_t i = 0; i < devices.size(); ++i) ids.push_back(i);
            return ids;
        },
        [devices](uint64_t id, const dravenholt::Settings&, dravenholt::LogTarget&) -> std::unique_ptr<dravenholt::Transport> {
            if (id >= devices.size() || !devices[id]) return nullptr;
            return std::make_unique<ScriptedTransport>(devices[id]);
        });
}

}  // namespace orvotest
