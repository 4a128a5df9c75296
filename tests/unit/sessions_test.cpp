// Sessions and login: the library's own handles, the session table, PIN fields, and port
// selection under concurrent threads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "frame/context.h"
#include "support/scripted_device.h"
#include "support/test_env.h"
#include "support/wide_numbers.h"

using namespace orvotest;

namespace {

struct Sessions : ::testing::Test {
    TestDir dir;
    DevicePtr a = std::make_shared<ScriptedDevice>(), b = std::make_shared<ScriptedDevice>();
    void SetUp() override {
        dir.useAsConfig();
        installDevices({a, b});
        ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    }
    CK_SESSION_HANDLE open(CK_SLOT_ID slot, uint32_t deviceHandle, CK_FLAGS flags = CKF_SERIAL_SESSION) {
        Response r;
        r.handle = deviceHandle;
        (slot == 0 ? a : b)->answer(reply(r));
        CK_SESSION_HANDLE h = 0;
        EXPECT_EQ(C_OpenSession(slot, flags, nullptr, nullptr, &h), CKR_OK);
        return h;
    }
};

}  // namespace

TEST_F(Sessions, OpenSessionChecksAndSendsTheFlags) {
    CK_SESSION_HANDLE h;
    EXPECT_EQ(C_OpenSession(0, CKF_RW_SESSION, nullptr, nullptr, &h), CKR_SESSION_PARALLEL_NOT_SUPPORTED);
    EXPECT_EQ(C_OpenSession(9, CKF_SERIAL_SESSION, nullptr, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_OpenSession(9, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_SLOT_ID_INVALID);
    EXPECT_TRUE(a->calls().empty());
    open(0, 77, CKF_SERIAL_SESSION | CKF_RW_SESSION);
    EXPECT_EQ(a->lastCall().function, 11u);
    EXPECT_EQ(*a->lastCall().value, CKF_SERIAL_SESSION | CKF_RW_SESSION);
    a->answer(reply(CKR_TOKEN_NOT_RECOGNIZED));  // no handle: nothing recorded
    EXPECT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_TOKEN_NOT_RECOGNIZED);
    EXPECT_EQ(getContext().sessions.size(), 1u);
}

TEST_F(Sessions, SameDeviceHandleOnTwoDevicesStaysApart) {
    CK_SESSION_HANDLE ha = open(0, 1), hb = open(1, 1);
    EXPECT_NE(ha, hb);
    EXPECT_EQ(C_Logout(ha), CKR_OK);
    EXPECT_EQ(C_Logout(hb), CKR_OK);
    EXPECT_EQ(a->lastCall().function, 19u);
    EXPECT_EQ(*a->lastCall().session, 1u);
    EXPECT_EQ(b->lastCall().function, 19u);
    EXPECT_EQ(a->calls().size(), 2u);
    EXPECT_EQ(b->calls().size(), 2u);
}

TEST_F(Sessions, CloseErasesWhateverTheDeviceSaysCloseAllKeepsEntries) {
    CK_SESSION_HANDLE h1 = open(0, 4), h2 = open(0, 5);
    a->answer(reply(CKR_DEVICE_ERROR));
    EXPECT_EQ(C_CloseSession(h1), CKR_DEVICE_ERROR);
    size_t sent = a->calls().size();
    EXPECT_EQ(C_Logout(h1), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(a->calls().size(), sent);
    EXPECT_EQ(C_CloseAllSessions(7), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(C_CloseAllSessions(0), CKR_OK);
    EXPECT_EQ(a->lastCall().function, 14u);
    EXPECT_FALSE(a->lastCall().session.has_value());
    a->answer(reply(CKR_SESSION_HANDLE_INVALID));
    EXPECT_EQ(C_Logout(h2), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(a->calls().size(), sent + 2);  // sent to the device, which answered
    if (kWideHostNumbers) {
        EXPECT_EQ(C_Logout(wide(0xFFFFFFFF00000000ULL) | h2), CKR_SESSION_HANDLE_INVALID);
    }
}

TEST_F(Sessions, SessionInfoPresetsAndCopy) {
    CK_SESSION_INFO info;
    EXPECT_EQ(C_GetSessionInfo(0, nullptr), CKR_SESSION_HANDLE_INVALID);
    CK_SESSION_HANDLE h = open(1, 9);
    EXPECT_EQ(C_GetSessionInfo(h, nullptr), CKR_ARGUMENTS_BAD);
    b->answer(reply(CKR_OK));  // no field 7
    info.ulDeviceError = 1234;
    ASSERT_EQ(C_GetSessionInfo(h, &info), CKR_OK);
    EXPECT_EQ(info.slotID, 1u);
    EXPECT_EQ(info.state, CKS_RO_PUBLIC_SESSION);
    EXPECT_EQ(info.flags, static_cast<CK_FLAGS>(CKF_SERIAL_SESSION));
    EXPECT_EQ(info.ulDeviceError, 1234u);
    Response r;
    r.sessionInfo = SessionInfoMsg{CKS_RW_USER_FUNCTIONS, CKF_SERIAL_SESSION | CKF_RW_SESSION, 3};
    b->answer(reply(r));
    ASSERT_EQ(C_GetSessionInfo(h, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RW_USER_FUNCTIONS);
    EXPECT_EQ(info.flags, static_cast<CK_FLAGS>(CKF_SERIAL_SESSION | CKF_RW_SESSION));
    EXPECT_EQ(info.ulDeviceError, 3u);
}

TEST_F(Sessions, PinsTravelExactly) {
    CK_SESSION_HANDLE h = open(0, 2);
    CK_UTF8CHAR oldPin[] = "1111", newPin[] = "22222";
    EXPECT_EQ(C_Login(h, CKU_USER, nullptr, 0), CKR_ARGUMENTS_BAD);
    if (kWideHostNumbers) {
        EXPECT_EQ(C_Login(h, wide(0x100000001ULL), oldPin, 4), CKR_USER_TYPE_INVALID);
    }
    ASSERT_EQ(C_Login(h, CKU_CONTEXT_SPECIFIC, oldPin, 4), CKR_OK);
    EXPECT_EQ(*a->lastCall().value, CKU_CONTEXT_SPECIFIC);
    EXPECT_EQ(*a->lastCall().data, Bytes(oldPin, oldPin + 4));
    EXPECT_EQ(C_InitPIN(h, nullptr, 3), CKR_ARGUMENTS_BAD);
    ASSERT_EQ(C_InitPIN(h, nullptr, 0), CKR_OK);
    EXPECT_EQ(a->lastCall().function, 18u);
    EXPECT_EQ(*a->lastCall().data, Bytes{});
    EXPECT_EQ(C_SetPIN(h, oldPin, 4, nullptr, 0), CKR_ARGUMENTS_BAD);
    ASSERT_EQ(C_SetPIN(h, oldPin, 4, newPin, 5), CKR_OK);
    EXPECT_EQ(*a->lastCall().data, Bytes(oldPin, oldPin + 4));
    EXPECT_EQ(*a->lastCall().data2, Bytes(newPin, newPin + 5));
}

TEST(SessionThreads, EachCallReachesThePortItSelected) {
    TestDir dir;
    dir.useAsConfig();
    auto a = std::make_shared<ScriptedDevice>(), b = std::make_shared<ScriptedDevice>();
    b->typeName = "HID";
    installDevices({a, b});
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    ASSERT_EQ(C_Initialize(&args), CKR_OK);
    // Each device answers with its own number in the slot's token info label, so a call that
    // reached the wrong device is seen in its result.
    for (auto& [device, name] : {std::pair{a, "A"}, std::pair{b, "B"}}) {
        Response r;
        TokenInfoMsg t = TokenInfoMsg_init_zero;
        dravenholt::wire::setBytesField(t.label.bytes, t.label.size, 32, name);
        r.tokenInfo = t;
        r.handle = 1;
        device->fallback = reply(r);
    }
    CK_SESSION_HANDLE ha, hb;
    ASSERT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &ha), CKR_OK);
    ASSERT_EQ(C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &hb), CKR_OK);
    std::atomic<int> wrong{0};
    auto worker = [&](CK_SLOT_ID slot, CK_SESSION_HANDLE h, char expected) {
        for (int i = 0; i < 300; ++i) {
            CK_TOKEN_INFO info;
            if (C_GetTokenInfo(slot, &info) != CKR_OK || info.label[0] != expected) ++wrong;
            if (C_Logout(h) != CKR_OK) ++wrong;
        }
    };
    std::thread t1(worker, 0, ha, 'A'), t2(worker, 1, hb, 'B'), t3(worker, 0, ha, 'A'), t4(worker, 1, hb, 'B');
    t1.join();
    t2.join();
    t3.join();
    t4.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(a->calls().size(), 1u + 2 * 2 * 300);
    EXPECT_EQ(b->calls().size(), 1u + 2 * 2 * 300);
}
