// A library initialised over one scripted device (slot 0) with one open session: the base of
// the wire-level tests of session operations.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "frame/pkcs11.h"
#include "support/scripted_device.h"
#include "support/test_env.h"

namespace orvotest {

class SessionTest : public ::testing::Test {
protected:
    static constexpr uint32_t kDeviceSession = 0x51;

    // Configuration file contents for this test (none by default).
    virtual std::string configuration() const { return ""; }

    void SetUp() override {
        dir.useAsConfig(configuration());
        installDevices({device});
        ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
        Response opened;
        opened.handle = kDeviceSession;
        device->answer(reply(opened));
        ASSERT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
        opening = device->calls().size();
    }
    void TearDown() override { C_Finalize(nullptr); }

    // The requests sent since the session was opened; each must name the session.
    std::vector<Request> sent() {
        auto all = device->calls();
        std::vector<Request> out(all.begin() + static_cast<long>(opening), all.end());
        for (const Request& r : out) EXPECT_EQ(r.session, kDeviceSession);
        return out;
    }
    Request only() {
        auto all = sent();
        EXPECT_EQ(all.size(), 1u);
        return all.empty() ? Request{} : all.front();
    }

    TestDir dir;
    DevicePtr device = std::make_shared<ScriptedDevice>();
    CK_SESSION_HANDLE session = 0;
    size_t opening = 0;
};

inline Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

}  // namespace orvotest
