// Sessions and login: the library's own handles, the session table, PIN fields, and port
// selection under concurrent threads.
#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

#include "frame/context.h"
#include "unit/device_fixture.h"

using namespace orvotest;

namespace {

using Sessions = AdminTest;

TEST_F(Sessions, OpenSessionChecksAndSendsTheFlags) {
    CK_SESSION_HANDLE h;
    EXPECT_EQ(C_OpenSession(0, CKF_RW_SESSION, nullptr, nullptr, &h), CKR_SESSION_PARALLEL_NOT_SUPPORTED);
    EXPECT_EQ(C_OpenSession(9, CKF_SERIAL_SESSION, nullptr, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_OpenSession(9, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_SLOT_ID_INVALID);
    EXPECT_TRUE(a->calls().empty());
    a->answer(reply(CKR_TOKEN_NOT_RECOGNIZED));  // no handle: nothing recorded
    EXPECT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_TOKEN_NOT_RECOGNIZED);
    EXPECT_EQ(dravenholt::getContext().sessions().size(), 0u);
    a->answer(answer(CKR_OK, std::nullopt, 77));
    ASSERT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h), CKR_OK);
    EXPECT_EQ(dravenholt::getContext().sessions().size(), 1u);
    EXPECT_EQ(a->lastCall().function, 11u);
    EXPECT_EQ(a->lastCall().value, CKF_SERIAL_SESSION | CKF_RW_SESSION);
}

TEST_F(Sessions, SameDeviceHandleOnTwoDevicesStaysApart) {
    CK_SESSION_HANDLE ha = open(0, 1), hb = open(1, 1);
    EXPECT_NE(ha, hb);
    EXPECT_EQ(C_Logout(ha), CKR_OK);
    EXPECT_EQ(C_Logout(hb), CKR_OK);
    for (auto& device : {a, b}) {
        ASSERT_EQ(device->calls().size(), 1u);
        EXPECT_EQ(device->lastCall().function, 19u);
        EXPECT_EQ(device->lastCall().session, 1u);
    }
}

TEST_F(Sessions, CloseErasesWhateverTheDeviceSaysCloseAllKeepsEntries) {
    CK_SESSION_HANDLE h1 = open(0, 4), h2 = open(0, 5);
    a->answer(reply(CKR_DEVICE_ERROR));
    EXPECT_EQ(C_CloseSession(h1), CKR_DEVICE_ERROR);
    EXPECT_EQ(C_Logout(h1), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(a->calls().size(), 1u);
    EXPECT_EQ(C_CloseAllSessions(7), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(C_CloseAllSessions(0), CKR_OK);
    EXPECT_EQ(a->lastCall().function, 14u);
    EXPECT_FALSE(a->lastCall().session.has_value());
    a->answer(reply(CKR_SESSION_HANDLE_INVALID));
    EXPECT_EQ(C_Logout(h2), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(a->calls().size(), 3u);  // sent to the device, which answered
}

TEST_F(Sessions, SessionInfoPresetsAndCopy) {
    CK_SESSION_INFO info;
    EXPECT_EQ(C_GetSessionInfo(0, nullptr), CKR_SESSION_HANDLE_INVALID);
    CK_SESSION_HANDLE h = open(1, 9);
    EXPECT_EQ(C_GetSessionInfo(h, nullptr), CKR_ARGUMENTS_BAD);
    b->answer(reply(CKR_SESSION_CLOSED));  // no field 7
    info.ulDeviceError = 1234;
    ASSERT_EQ(C_GetSessionInfo(h, &info), CKR_SESSION_CLOSED);
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
    ASSERT_EQ(C_Login(h, CKU_CONTEXT_SPECIFIC, oldPin, 4), CKR_OK);
    ASSERT_EQ(C_InitPIN(h, nullptr, 0), CKR_OK);
    ASSERT_EQ(C_SetPIN(h, oldPin, 4, newPin, 5), CKR_OK);
    auto sent = a->calls();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].value, CKU_CONTEXT_SPECIFIC);
    EXPECT_EQ(sent[0].data, Bytes(oldPin, oldPin + 4));
    EXPECT_EQ(sent[1].function, 18u);
    EXPECT_EQ(sent[1].data, Bytes{});
    EXPECT_EQ(sent[2].data, Bytes(oldPin, oldPin + 4));
    EXPECT_EQ(sent[2].data2, Bytes(newPin, newPin + 5));
}

// A request that carries a PIN is wiped from the library's buffer once sent: when its reply is
// read, the buffer no longer holds it. A request of other data (the seed) is left as it was.
TEST_F(Sessions, PinsAreWipedOnceSent) {
    CK_SESSION_HANDLE h = open(0, 2);
    CK_UTF8CHAR pin[] = "8642097531", other[] = "1357924680", label[33] = "label";
    const Bytes secret(pin, pin + 10);
    const struct {
        const char* name;
        std::function<CK_RV()> call;
        bool wiped;
    } cases[] = {
        {"C_Login", [&] { return C_Login(h, CKU_USER, pin, 10); }, true},
        {"C_InitPIN", [&] { return C_InitPIN(h, pin, 10); }, true},
        {"C_SetPIN, old", [&] { return C_SetPIN(h, pin, 10, other, 10); }, true},
        {"C_SetPIN, new", [&] { return C_SetPIN(h, other, 10, pin, 10); }, true},
        {"C_InitToken", [&] { return C_InitToken(0, pin, 10, label); }, true},
        {"C_SeedRandom", [&] { return C_SeedRandom(h, pin, 10); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        a->heldAtRead.clear();
        ASSERT_EQ(c.call(), CKR_OK);
        ASSERT_EQ(a->heldAtRead.size(), 1u);
        const Bytes& held = a->heldAtRead[0];
        bool found = std::search(held.begin(), held.end(), secret.begin(), secret.end()) != held.end();
        EXPECT_EQ(found, !c.wiped);
        EXPECT_EQ(std::all_of(held.begin(), held.end(), [](uint8_t b) { return b == 0; }), c.wiped);
    }
}

struct SessionThreads : AdminTest {
    SessionThreads() { b->kind = dravenholt::TransportKind::Hid; }
};

TEST_F(SessionThreads, EachCallReachesThePortItSelected) {
    // Each device answers with its own name in the token label, so a call that reached the
    // wrong device is seen in its result.
    for (auto& [device, name] : {std::pair{a, "A"}, std::pair{b, "B"}}) {
        Response r;
        TokenInfoMsg t = TokenInfoMsg_init_zero;
        dravenholt::wire::setBytesField(t.label.bytes, t.label.size, 32, name);
        r.tokenInfo = t;
        r.handle = 1;
        device->fallback = reply(r);
    }
    CK_SESSION_HANDLE ha = open(0, 1), hb = open(1, 1);
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
    EXPECT_EQ(a->calls().size(), 2 * 2 * 300u);
    EXPECT_EQ(b->calls().size(), 2 * 2 * 300u);
}

}  // namespace
