// Two scripted devices (slots 0 and 1) behind a library initialised with OS locking, TRACE
// logging into a file, and sessions opened on demand: the administration calls and the session
// table use it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/pkcs11.h"
#include "orvo/admin.h"
#include "support/scripted_device.h"
#include "support/test_env.h"
#include "unit/session_fixture.h"

namespace orvotest {

class AdminTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir.useAsConfig(R"({"logging":{"loglevel":10,"logfile":")" + dir.file("log.txt") + R"("}})");
        installDevices({a, b});
        CK_C_INITIALIZE_ARGS args{};
        args.flags = CKF_OS_LOCKING_OK;
        ASSERT_EQ(C_Initialize(&args), CKR_OK);
    }

    // A session on `slot` whose device handle is `deviceHandle`; the device's requests so far
    // are forgotten.
    CK_SESSION_HANDLE open(CK_SLOT_ID slot, uint32_t deviceHandle) {
        DevicePtr& device = slot == 0 ? a : b;
        Response r;
        r.handle = deviceHandle;
        device->answer(reply(r));
        CK_SESSION_HANDLE h = 0;
        EXPECT_EQ(C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_OK);
        std::lock_guard<std::mutex> g(device->mutex);
        device->requests.clear();
        return h;
    }

    static Answer answer(uint32_t rv, std::optional<Bytes> data = std::nullopt,
                         std::optional<uint32_t> handle = std::nullopt, std::optional<uint32_t> length = std::nullopt) {
        Response r;
        r.rv = rv;
        r.data = std::move(data);
        r.handle = handle;
        r.length = length;
        return reply(r);
    }

    bool logged(const std::string& text) const { return dir.read("log.txt").find(text) != std::string::npos; }

    TestDir dir;
    DevicePtr a = std::make_shared<ScriptedDevice>(), b = std::make_shared<ScriptedDevice>();
};

inline Bytes pattern(size_t n, uint8_t seed = 0) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(seed + i * 7);
    return out;
}

}  // namespace orvotest
