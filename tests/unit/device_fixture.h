// A library initialised with OS locking over two scripted devices (slots 0 and 1), TRACE logging
// into a file, and sessions opened on demand. SessionTest adds one open session on slot 0 whose
// device handle is kDeviceSession; sent() lists the requests after it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "base/pkcs11.h"
#include "support/scripted_device.h"
#include "support/test_env.h"

namespace orvotest {

inline Answer answer(uint32_t rv, std::optional<Bytes> data = {}, std::optional<uint32_t> handle = {},
                     std::optional<uint32_t> length = {}, std::optional<uint32_t> handle2 = {}) {
    return reply(Response{rv, handle, std::move(data), length, handle2, {}, {}, {}, {}});
}
// A reply with output bytes (field 3) and, when given, a length (field 4).
inline Answer output(Bytes data, std::optional<uint32_t> length = std::nullopt, uint32_t rv = CKR_OK) {
    return answer(rv, std::move(data), std::nullopt, length);
}
inline Answer lengthOnly(uint32_t length, uint32_t rv = CKR_OK) { return answer(rv, std::nullopt, std::nullopt, length); }

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir.useAsConfig(R"({"logging":{"loglevel":10,"logfile":")" + dir.file("log.txt") + R"("}})");
        installDevices({a, b});
        CK_C_INITIALIZE_ARGS args{};
        args.flags = CKF_OS_LOCKING_OK;
        ASSERT_EQ(C_Initialize(&args), CKR_OK);
    }

    // A session on `slot` whose device handle is `deviceHandle`; the device's requests so far forgotten.
    CK_SESSION_HANDLE open(CK_SLOT_ID slot, uint32_t deviceHandle) {
        DevicePtr& device = slot == 0 ? a : b;
        device->answer(answer(CKR_OK, std::nullopt, deviceHandle));
        CK_SESSION_HANDLE h = 0;
        EXPECT_EQ(C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_OK);
        std::lock_guard<std::mutex> g(device->mutex);
        device->requests.clear();
        return h;
    }

    bool logged(const std::string& text) const { return dir.read("log.txt").find(text) != std::string::npos; }

    TestDir dir;
    DevicePtr a = std::make_shared<ScriptedDevice>(), b = std::make_shared<ScriptedDevice>();
};

class SessionTest : public DeviceTest {
protected:
    static constexpr uint32_t kDeviceSession = 77;

    void SetUp() override {
        DeviceTest::SetUp();
        if (!HasFatalFailure()) session = open(0, kDeviceSession);
    }

    std::vector<Request> sent() { return device->calls(); }

    DevicePtr device = a;
    CK_SESSION_HANDLE session = 0;
};

inline Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

inline Bytes pattern(size_t n, uint8_t seed = 0) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(seed + i * 7);
    return out;
}

// A caller's buffer of `capacity` bytes followed by guard bytes that no call may touch.
struct CallerBuffer {
    explicit CallerBuffer(size_t capacity) : capacity(capacity), bytes(capacity + 32, 0xEE) {}
    CK_BYTE_PTR data() { return bytes.data(); }
    Bytes content(size_t n) const { return Bytes(bytes.begin(), bytes.begin() + static_cast<long>(n)); }
    bool untouched(size_t from = 0) const {
        return std::all_of(bytes.begin() + static_cast<long>(from), bytes.end(), [](uint8_t b) { return b == 0xEE; });
    }
    size_t capacity;
    Bytes bytes;
};

}  // namespace orvotest
