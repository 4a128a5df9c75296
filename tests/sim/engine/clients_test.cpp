// Several clients of one device: each has its own sessions, session objects and login, and
// loses them all when it disconnects; PINs, their counters and token objects are the device's.
#include "harness.h"

using namespace simtest;

// A token with both PINs set whose default client holds nothing open; clients `a` and `b`
// connected with one RW session each.
struct TwoClients : ::testing::Test {
    Device d;
    Engine::ClientId a = 0, b = 0;
    uint32_t sa = 0, sb = 0;

    void SetUp() override {
        d.readyUserSession();
        ASSERT_EQ(d.rv(Call(fn::CloseAllSessions)), CKR_OK);
        a = d.engine().connect();
        b = d.engine().connect();
        ASSERT_NE(a, b);
        sa = as(a).open();
        sb = as(b).open();
    }
    // The device, calling as `client` from now on.
    Device& as(Engine::ClientId client) {
        d.client = client;
        return d;
    }
};

TEST_F(TwoClients, SessionsAndSessionObjectsOfAnotherClientAreInvalid) {
    uint32_t temp = as(a).create(sa, {num(CKA_CLASS, CKO_DATA), bytes(CKA_LABEL, toBytes("temp"))});
    uint32_t sa2 = d.open(false);
    EXPECT_EQ(d.attribute(sa2, temp, CKA_LABEL), toBytes("temp"));  // any session of its client sees it
    as(b);
    for (Call call : {Call(fn::GetSessionInfo, sa), Call(fn::Login, sa).value(CKU_USER).data(kUserPin), Call(fn::Logout, sa),
                      Call(fn::GenerateRandom, sa).length(8), Call(fn::FindObjectsInit, sa), Call(fn::CloseSession, sa)})
        EXPECT_EQ(d.rv(call), CKR_SESSION_HANDLE_INVALID) << call.r.function;
    EXPECT_TRUE(d.find(sb, {num(CKA_CLASS, CKO_DATA)}).empty());
    EXPECT_EQ(d.getAttributes(sb, temp, {CKA_LABEL}).rv, CKR_OBJECT_HANDLE_INVALID);
    for (uint32_t function : {fn::DestroyObject, fn::CopyObject, fn::GetObjectSize})
        EXPECT_EQ(d.rv(Call(function, sb).handle(temp)), CKR_OBJECT_HANDLE_INVALID) << function;
    EXPECT_EQ(d.tokenInfo().sessionCount, 1u);  // the caller's own sessions
    EXPECT_EQ(d.rv(Call(fn::CloseAllSessions)), CKR_OK);
    EXPECT_EQ(d.rv(Call(fn::GetSessionInfo, sb)), CKR_SESSION_HANDLE_INVALID);
    as(a);
    EXPECT_EQ(d.state(sa), CKS_RW_PUBLIC_SESSION);  // b's close-all left a's sessions alone
    TokenInfoMsg info = d.tokenInfo();
    EXPECT_EQ(std::pair(info.sessionCount, info.rwSessionCount), std::pair(2u, 1u));
}

TEST_F(TwoClients, EachClientLogsInAndOutOnItsOwn) {
    uint32_t sbRo = as(b).open(false);
    EXPECT_EQ(as(a).login(sa, CKU_USER, kUserPin), CKR_OK);
    uint32_t secret = d.create(sa, {num(CKA_CLASS, CKO_DATA), flag(CKA_TOKEN, true), flag(CKA_PRIVATE, true)});
    EXPECT_EQ(as(b).state(sb), CKS_RW_PUBLIC_SESSION);
    EXPECT_EQ(d.getAttributes(sb, secret, {CKA_CLASS}).rv, CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(d.rv(Call(fn::Logout, sb)), CKR_USER_NOT_LOGGED_IN);
    // The officer needs no read-only session of the same client; b has one, a has none.
    EXPECT_EQ(d.login(sb, CKU_SO, kSoPin), CKR_SESSION_READ_ONLY_EXISTS);
    EXPECT_EQ(d.login(sbRo, CKU_USER, kUserPin), CKR_OK);
    EXPECT_EQ(d.state(sb), CKS_RW_USER_FUNCTIONS);
    EXPECT_EQ(d.login(sb, CKU_SO, kSoPin), CKR_USER_ANOTHER_ALREADY_LOGGED_IN);
    EXPECT_EQ(d.find(sb, {num(CKA_CLASS, CKO_DATA)}), std::vector<uint32_t>{secret});
    EXPECT_EQ(as(a).rv(Call(fn::Logout, sa)), CKR_OK);
    EXPECT_EQ(d.login(sa, CKU_SO, kSoPin), CKR_OK);  // while b is the user
    EXPECT_EQ(as(b).state(sbRo), CKS_RO_USER_FUNCTIONS);
    // PIN failures count for the device, whoever makes them.
    EXPECT_EQ(as(a).rv(Call(fn::Logout, sa)), CKR_OK);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(d.login(sa, CKU_USER, toBytes("wrong-pin")), CKR_PIN_INCORRECT);
    EXPECT_EQ(as(b).rv(Call(fn::Logout, sb)), CKR_OK);
    EXPECT_EQ(d.login(sb, CKU_USER, toBytes("wrong-pin")), CKR_PIN_LOCKED);
}

// A program that dies logged in must not leave its login, sessions or operations behind.
TEST_F(TwoClients, DisconnectEndsSessionsObjectsAndLoginOfThatClientOnly) {
    ASSERT_EQ(as(a).login(sa, CKU_USER, kUserPin), CKR_OK);
    uint32_t temp = d.create(sa, {num(CKA_CLASS, CKO_DATA), flag(CKA_PRIVATE, true)});
    uint32_t kept = d.create(sa, {num(CKA_CLASS, CKO_DATA), flag(CKA_TOKEN, true), flag(CKA_PRIVATE, true)});
    ASSERT_EQ(d.rv(Call(fn::DigestInit, sa).mech(mech(CKM_SHA256))), CKR_OK);
    ASSERT_EQ(as(b).login(sb, CKU_USER, kUserPin), CKR_OK);
    // The token cannot be initialised under anybody's open session.
    EXPECT_EQ(d.rv(Call(fn::InitToken).data(kSoPin).data2(Bytes(32, ' '))), CKR_SESSION_EXISTS);

    d.engine().disconnect(a);
    EXPECT_EQ(d.find(sb, {num(CKA_CLASS, CKO_DATA)}), std::vector<uint32_t>{kept});
    EXPECT_EQ(d.state(sb), CKS_RW_USER_FUNCTIONS);
    as(a);  // gone for good: its requests find no device
    EXPECT_EQ(d.rv(Call(fn::GetSessionInfo, sa)), CKR_DEVICE_REMOVED);
    EXPECT_EQ(d.rv(Call(fn::OpenSession).value(CKF_SERIAL_SESSION)), CKR_DEVICE_REMOVED);
    // A new client finds none of it: not the session, its object, its operation or its login.
    Engine::ClientId c = d.engine().connect();
    EXPECT_NE(c, a);
    uint32_t fresh = as(c).open();
    EXPECT_EQ(d.rv(Call(fn::DigestUpdate, sa).data(Bytes(4, 1))), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(d.state(fresh), CKS_RW_PUBLIC_SESSION);
    EXPECT_EQ(d.login(fresh, CKU_USER, kUserPin), CKR_OK);
    EXPECT_EQ(d.find(fresh, {num(CKA_CLASS, CKO_DATA)}), std::vector<uint32_t>{kept});
    EXPECT_EQ(d.getAttributes(fresh, temp, {CKA_CLASS}).rv, CKR_OBJECT_HANDLE_INVALID);

    d.engine().disconnect(c);
    d.engine().disconnect(b);
    EXPECT_EQ(as(Engine::kDefaultClient).rv(Call(fn::InitToken).data(kSoPin).data2(Bytes(32, ' '))), CKR_OK);
}

TEST_F(TwoClients, TheDefaultClientOutlivesItsDisconnect) {
    uint32_t s = as(Engine::kDefaultClient).open();
    ASSERT_EQ(d.login(s, CKU_USER, kUserPin), CKR_OK);
    d.engine().disconnect(Engine::kDefaultClient);
    EXPECT_EQ(d.rv(Call(fn::GetSessionInfo, s)), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(d.state(d.open()), CKS_RW_PUBLIC_SESSION);
}
