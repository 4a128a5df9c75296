// A library initialised with one scripted device (slot 0), TRACE logging into a file, and one
// open session whose device handle is kDeviceSession. sent() lists the requests after that.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/pkcs11.h"
#include "support/scripted_device.h"
#include "support/test_env.h"

namespace orvotest {

class SessionTest : public ::testing::Test {
protected:
    static constexpr uint32_t kDeviceSession = 77;

    // The configuration file of the test.
    virtual std::string configuration() const {
        return R"({"logging":{"loglevel":10,"logfile":")" + dir.file("log.txt") + R"("}})";
    }

    void SetUp() override {
        dir.useAsConfig(configuration());
        installDevices({device});
        ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
        Response opened;
        opened.handle = kDeviceSession;
        device->answer(reply(opened));
        ASSERT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
        std::lock_guard<std::mutex> g(device->mutex);
        device->requests.clear();
    }

    std::vector<Request> sent() { return device->calls(); }
    // The one request sent, which names the session.
    Request only() {
        auto all = sent();
        EXPECT_EQ(all.size(), 1u);
        if (all.empty()) return Request{};
        EXPECT_EQ(all.front().session, kDeviceSession);
        return all.front();
    }
    std::string log() const { return dir.read("log.txt"); }
    bool logged(const std::string& text) const { return log().find(text) != std::string::npos; }

    // A reply with output bytes (field 3) and, when given, a length (field 4).
    static Answer output(Bytes data, std::optional<uint32_t> length = std::nullopt, uint32_t rv = CKR_OK) {
        Response r;
        r.rv = rv;
        r.data = std::move(data);
        r.length = length;
        return reply(r);
    }
    static Answer lengthOnly(uint32_t length, uint32_t rv = CKR_OK) {
        Response r;
        r.rv = rv;
        r.length = length;
        return reply(r);
    }

    TestDir dir;
    DevicePtr device = std::make_shared<ScriptedDevice>();
    CK_SESSION_HANDLE session = 0;
};

inline Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A caller's buffer of `capacity` bytes followed by guard bytes that no call may touch.
struct GuardedBuffer {
    explicit GuardedBuffer(size_t capacity) : capacity(capacity), bytes(capacity + 32, 0xEE) {}
    CK_BYTE_PTR data() { return bytes.data(); }
    Bytes content(size_t n) const { return Bytes(bytes.begin(), bytes.begin() + static_cast<long>(n)); }
    bool untouched(size_t from = 0) const {
        for (size_t i = from; i < bytes.size(); ++i)
            if (bytes[i] != 0xEE) return false;
        return true;
    }
    size_t capacity;
    Bytes bytes;
};

}  // namespace orvotest
