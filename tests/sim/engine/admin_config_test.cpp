// Token configuration: the record, who may change it, and the limits taking effect.
#include "admin_harness.h"

using namespace simtest;

namespace {

// A ready token whose SO is logged in on a session of its own; `user` stays logged out.
struct Officer {
    explicit Officer(dravenholt::sim::EngineOptions options = {}) : d(std::move(options)) {
        user = d.readyUserSession();
        EXPECT_EQ(d.call(kLogout, user).rv, CKR_OK);
        EXPECT_EQ(d.login(user, CKU_SO, kSoPin), CKR_OK);
    }
    uint32_t set(Request r) { return d.call(r).rv; }
    Device d;
    uint32_t user = 0;
};

Request initPin(uint32_t session, const std::string& pin) {
    Request r;
    r.function = kInitPin;
    r.session = session;
    r.data = toBytes(pin);
    return r;
}

}  // namespace

TEST(AdminConfig, RecordReportsTheValuesAndChangesPersist) {
    TempDir dir;
    dravenholt::sim::EngineOptions options;
    options.stateFile = dir.path() / "token.state";
    Officer t(options);
    TokenConfigMsg c = config(t.d);
    EXPECT_TRUE(c.has_value1 && c.has_value2 && c.has_value3 && c.has_value4);
    EXPECT_EQ(c.value1, 5u);  // login failure limit
    EXPECT_EQ(c.value2, 0u);  // no session timeout
    EXPECT_EQ(c.value3, 4u);  // shortest PIN

    EXPECT_EQ(t.set(adminRequest(kSetLoginLimit, 9)), CKR_ARGUMENTS_BAD);  // no selector
    Request limit = adminRequest(kSetLoginLimit, 3);
    limit.value = 0;
    EXPECT_EQ(t.set(limit), CKR_OK);
    EXPECT_EQ(t.set(adminRequest(kSetTimeout, 15)), CKR_OK);
    EXPECT_EQ(t.set(adminRequest(kSetPinLengths, 6, 12)), CKR_OK);
    Request bits = adminRequest(kSetBitOptions);
    bits.config = TokenConfigMsg{false, 0, false, 0, false, 0, true, 0xA5A5};
    EXPECT_EQ(t.set(bits), CKR_OK);

    t.d.restart(options);
    c = config(t.d);
    EXPECT_EQ(c.value1, 3u);
    EXPECT_EQ(c.value2, 15u);
    EXPECT_EQ(c.value3, 6u);
    EXPECT_EQ(c.value4, 0xA5A5u);
    Response info = t.d.call(adminRequest(kGetTokenInfo));
    EXPECT_EQ(info.tokenInfo->minPinLen, 6u);
    EXPECT_EQ(info.tokenInfo->maxPinLen, 12u);
}

TEST(AdminConfig, OnlyTheOfficerChangesAnInitialisedTokenAndValuesAreChecked) {
    Officer t;
    Request limit = adminRequest(kSetLoginLimit, 0);
    limit.value = 0;
    EXPECT_EQ(t.set(limit), CKR_ARGUMENTS_BAD);  // every PIN would be locked
    limit.value = 1;
    limit.handle = 3;
    EXPECT_EQ(t.set(limit), CKR_ARGUMENTS_BAD);  // one limit, selector 0
    EXPECT_EQ(t.set(adminRequest(kSetTimeout, 256)), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(t.set(adminRequest(kSetPinLengths, 0, 8)), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(t.set(adminRequest(kSetPinLengths, 9, 8)), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(t.set(adminRequest(kSetPinLengths, 4)), CKR_ARGUMENTS_BAD);
    Request bits = adminRequest(kSetBitOptions);
    EXPECT_EQ(t.set(bits), CKR_ARGUMENTS_BAD);
    bits.config = TokenConfigMsg{false, 0, false, 0, false, 0, true, 0x10000};
    EXPECT_EQ(t.set(bits), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(config(t.d).value4, 0u);

    ASSERT_EQ(t.d.call(kLogout, t.user).rv, CKR_OK);
    EXPECT_EQ(t.set(adminRequest(kSetTimeout, 1)), CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(t.d.login(t.user, CKU_USER, kUserPin), CKR_OK);
    EXPECT_EQ(t.set(adminRequest(kSetTimeout, 1)), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(config(t.d).value2, 0u);  // anyone may read

    Device blank;  // nothing to protect yet
    EXPECT_EQ(blank.call(adminRequest(kSetPinLengths, 8, 16)).rv, CKR_OK);
}

TEST(AdminConfig, LoginFailureLimitAndPinLengthsApply) {
    Officer t;
    Request limit = adminRequest(kSetLoginLimit, 2);
    limit.value = 0;
    ASSERT_EQ(t.set(limit), CKR_OK);
    ASSERT_EQ(t.set(adminRequest(kSetPinLengths, 6, 8)), CKR_OK);
    EXPECT_EQ(t.set(initPin(t.user, "12345")), CKR_PIN_LEN_RANGE);
    EXPECT_EQ(t.set(initPin(t.user, "123456789")), CKR_PIN_LEN_RANGE);
    ASSERT_EQ(t.set(initPin(t.user, "123456")), CKR_OK);
    ASSERT_EQ(t.d.call(kLogout, t.user).rv, CKR_OK);
    EXPECT_EQ(t.d.login(t.user, CKU_USER, toBytes("654321")), CKR_PIN_INCORRECT);
    EXPECT_EQ(t.d.login(t.user, CKU_USER, toBytes("654321")), CKR_PIN_LOCKED);
    EXPECT_EQ(t.d.login(t.user, CKU_USER, toBytes("123456")), CKR_PIN_LOCKED);
}

TEST(AdminConfig, IdleSessionsEndAfterTheTimeout) {
    auto now = std::make_shared<int64_t>(1000);
    dravenholt::sim::EngineOptions options;
    options.clock = [now] { return *now; };
    Officer t(options);
    ASSERT_EQ(t.set(adminRequest(kSetTimeout, 1)), CKR_OK);  // one minute
    uint32_t other = t.d.open();
    *now += 59;
    EXPECT_EQ(t.d.call(kGetSessionInfo, t.user).rv, CKR_OK);  // used: its idle time starts again
    *now += 30;
    EXPECT_EQ(t.d.call(kGetSessionInfo, t.user).rv, CKR_OK);
    EXPECT_EQ(t.d.call(kGetSessionInfo, other).rv, CKR_SESSION_HANDLE_INVALID);  // idle for 89 s
    *now += 60;
    EXPECT_EQ(t.d.call(kGetSessionInfo, t.user).rv, CKR_SESSION_HANDLE_INVALID);
    // With the last session the login ended too.
    uint32_t fresh = t.d.open();
    Response info = t.d.call(kGetSessionInfo, fresh);
    EXPECT_EQ(info.sessionInfo->state, uint32_t(CKS_RW_PUBLIC_SESSION));
    EXPECT_NE(readLog(t.d).find("closed after the idle timeout"), std::string::npos);
}
