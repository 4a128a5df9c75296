// Several clients of one device: each has its own sessions, session objects and login, and
// loses them all when it disconnects; PINs, their counters and token objects are the device's.
#include "harness.h"

using namespace simtest;
using dravenholt::sim::Engine;

namespace {

uint32_t state(Device& d, uint32_t s) { return d.call(Call(fn::GetSessionInfo, s)).sessionInfo.value_or(SessionInfoMsg{}).state; }

std::pair<uint32_t, uint32_t> sessionCounts(Device& d) {
    TokenInfoMsg info = d.call(Call(fn::GetTokenInfo)).tokenInfo.value_or(TokenInfoMsg{});
    return {info.sessionCount, info.rwSessionCount};
}

// A token with both PINs set whose default client holds nothing open; `a` and `b` connected.
struct TwoClients : ::testing::Test {
    Device d;
    Engine::ClientId a = 0, b = 0;

    void SetUp() override {
        d.readyUserSession();
        ASSERT_EQ(d.rv(Call(fn::CloseAllSessions)), CKR_OK);
        a = d.engine().connect();
        b = d.engine().connect();
        ASSERT_NE(a, b);
    }
    uint32_t openAs(Engine::ClientId client, bool rw = true) {
        d.client = client;
        return d.open(rw);
    }
};

}  // namespace

TEST_F(TwoClients, SessionHandlesOfAnotherClientAreInvalid) {
    uint32_t sa = openAs(a), sb = openAs(b);
    d.client = a;
    for (Call call : {Call(fn::GetSessionInfo, sb), Call(fn::Login, sb).value(CKU_USER).data(kUserPin), Call(fn::Logout, sb),
                      Call(fn::GenerateRandom, sb).length(8), Call(fn::FindObjectsInit, sb), Call(fn::CloseSession, sb)})
        EXPECT_EQ(d.rv(call), CKR_SESSION_HANDLE_INVALID) << call.r.function;
    EXPECT_EQ(sessionCounts(d), std::make_pair(1u, 1u));  // the caller's own sessions
    EXPECT_EQ(d.rv(Call(fn::CloseAllSessions)), CKR_OK);
    EXPECT_EQ(d.rv(Call(fn::GetSessionInfo, sa)), CKR_SESSION_HANDLE_INVALID);
    d.client = b;
    EXPECT_EQ(state(d, sb), CKS_RW_PUBLIC_SESSION);  // close-all of a left b's session alone
    EXPECT_EQ(sessionCounts(d), std::make_pair(1u, 1u));
}

TEST_F(TwoClients, EachClientLogsInAndOutOnItsOwn) {
    uint32_t sa = openAs(a), sb = openAs(b), sbRo = openAs(b, false);
    d.client = a;
    EXPECT_EQ(d.login(sa, CKU_USER, kUserPin), CKR_OK);
    EXPECT_EQ(d.login(sa, CKU_USER, kUserPin), CKR_USER_ALREADY_LOGGED_IN);
    uint32_t secret = d.create(sa, {num(CKA_CLASS, CKO_DATA), flag(CKA_TOKEN, true), flag(CKA_PRIVATE, true)});
    d.client = b;
    EXPECT_EQ(state(d, sb), CKS_RW_PUBLIC_SESSION);
    EXPECT_EQ(d.getAttributes(sb, secret, {CKA_CLASS}).rv, CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(d.rv(Call(fn::Logout, sb)), CKR_USER_NOT_LOGGED_IN);
    // The officer needs no read-only session of the same client; b has one, a has none.
    EXPECT_EQ(d.login(sb, CKU_SO, kSoPin), CKR_SESSION_READ_ONLY_EXISTS);
    EXPECT_EQ(d.login(sbRo, CKU_USER, kUserPin), CKR_OK);
    EXPECT_EQ(state(d, sb), CKS_RW_USER_FUNCTIONS);
    EXPECT_EQ(d.login(sb, CKU_SO, kSoPin), CKR_USER_ANOTHER_ALREADY_LOGGED_IN);
    EXPECT_EQ(d.attribute(sb, secret, CKA_CLASS), le32(CKO_DATA));
    d.client = a;
    EXPECT_EQ(d.rv(Call(fn::Logout, sa)), CKR_OK);
    EXPECT_EQ(d.find(sa, {num(CKA_CLASS, CKO_DATA)}).size(), 0u);
    EXPECT_EQ(d.login(sa, CKU_SO, kSoPin), CKR_OK);  // while b is the user
    d.client = b;
    EXPECT_EQ(state(d, sbRo), CKS_RO_USER_FUNCTIONS);
    EXPECT_EQ(d.find(sb, {num(CKA_CLASS, CKO_DATA)}), std::vector<uint32_t>{secret});
    // PIN failures count for the device, whoever makes them.
    d.client = a;
    EXPECT_EQ(d.rv(Call(fn::Logout, sa)), CKR_OK);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(d.login(sa, CKU_USER, toBytes("wrong-pin")), CKR_PIN_INCORRECT);
    d.client = b;
    EXPECT_EQ(d.rv(Call(fn::Logout, sb)), CKR_OK);
    EXPECT_EQ(d.login(sb, CKU_USER, toBytes("wrong-pin")), CKR_PIN_LOCKED);
}

TEST_F(TwoClients, SessionObjectsBelongToTheirClient) {
    uint32_t sa = openAs(a), sb = openAs(b);
    d.client = a;
    uint32_t temp = d.create(sa, {num(CKA_CLASS, CKO_DATA), text(CKA_LABEL, "temp")});
    uint32_t sa2 = d.open(false);
    EXPECT_EQ(d.attribute(sa2, temp, CKA_LABEL), toBytes("temp"));
    d.client = b;
    EXPECT_TRUE(d.find(sb, {num(CKA_CLASS, CKO_DATA)}).empty());
    for (Call call : {Call(fn::GetAttributeValue, sb).handle(temp).templ({Attribute{CKA_LABEL, {}, {}, {}, {}}}),
                      Call(fn::DestroyObject, sb).handle(temp), Call(fn::CopyObject, sb).handle(temp),
                      Call(fn::GetObjectSize, sb).handle(temp)})
        EXPECT_EQ(d.rv(call), CKR_OBJECT_HANDLE_INVALID) << call.r.function;
}

TEST_F(TwoClients, DisconnectEndsSessionsObjectsAndLoginOfThatClientOnly) {
    uint32_t sa = openAs(a), sb = openAs(b);
    d.client = a;
    ASSERT_EQ(d.login(sa, CKU_USER, kUserPin), CKR_OK);
    uint32_t temp = d.create(sa, {num(CKA_CLASS, CKO_DATA), flag(CKA_PRIVATE, true)});
    uint32_t kept = d.create(sa, {num(CKA_CLASS, CKO_DATA), flag(CKA_TOKEN, true), flag(CKA_PRIVATE, true)});
    ASSERT_EQ(d.rv(Call(fn::DigestInit, sa).mech(mech(CKM_SHA256))), CKR_OK);
    d.client = b;
    ASSERT_EQ(d.login(sb, CKU_USER, kUserPin), CKR_OK);
    // The token cannot be initialised under anybody's open session.
    EXPECT_EQ(d.rv(Call(fn::InitToken).data(kSoPin).data2(Bytes(32, ' '))), CKR_SESSION_EXISTS);

    d.engine().disconnect(a);
    EXPECT_EQ(d.find(sb, {num(CKA_CLASS, CKO_DATA)}), std::vector<uint32_t>{kept});
    EXPECT_EQ(state(d, sb), CKS_RW_USER_FUNCTIONS);
    d.client = a;  // gone for good: its requests find no device
    EXPECT_EQ(d.rv(Call(fn::GetSessionInfo, sa)), CKR_DEVICE_REMOVED);
    EXPECT_EQ(d.rv(Call(fn::OpenSession).value(CKF_SERIAL_SESSION)), CKR_DEVICE_REMOVED);
    // A new client finds none of it: not the session, its object, its operation or its login.
    d.client = d.engine().connect();
    EXPECT_NE(d.client, a);
    uint32_t fresh = d.open();
    EXPECT_EQ(d.rv(Call(fn::DigestUpdate, sa).data(Bytes(4, 1))), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(state(d, fresh), CKS_RW_PUBLIC_SESSION);
    EXPECT_EQ(d.login(fresh, CKU_USER, kUserPin), CKR_OK);
    EXPECT_EQ(d.find(fresh, {num(CKA_CLASS, CKO_DATA)}), std::vector<uint32_t>{kept});
    EXPECT_EQ(d.getAttributes(fresh, temp, {CKA_CLASS}).rv, CKR_OBJECT_HANDLE_INVALID);

    d.engine().disconnect(d.client);
    d.engine().disconnect(b);
    d.client = Engine::kDefaultClient;
    EXPECT_EQ(d.rv(Call(fn::InitToken).data(kSoPin).data2(Bytes(32, ' '))), CKR_OK);
}

TEST_F(TwoClients, TheDefaultClientOutlivesItsDisconnect) {
    d.client = Engine::kDefaultClient;
    uint32_t s = d.open();
    ASSERT_EQ(d.login(s, CKU_USER, kUserPin), CKR_OK);
    d.engine().disconnect(Engine::kDefaultClient);
    EXPECT_EQ(d.rv(Call(fn::GetSessionInfo, s)), CKR_SESSION_HANDLE_INVALID);
    uint32_t again = d.open();
    EXPECT_EQ(state(d, again), CKS_RW_PUBLIC_SESSION);
}
