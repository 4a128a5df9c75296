// Token configuration: the record, who may change it, and the limits taking effect.
#include "admin_harness.h"

using namespace simtest;

namespace {

// A ready token whose SO is logged in on `session`.
struct Officer {
    explicit Officer(dravenholt::sim::EngineOptions options = {}) : d(std::move(options)) {
        session = d.readyUserSession();
        EXPECT_EQ(d.call(kLogout, session).rv, CKR_OK);
        EXPECT_EQ(d.login(session, CKU_SO, kSoPin), CKR_OK);
    }
    uint32_t set(Request r) { return d.call(r).rv; }
    uint32_t loginLimit(uint32_t count, uint32_t selector = 0) {
        Request r = adminRequest(kSetLoginLimit, count);
        r.value = selector;
        return set(r);
    }
    uint32_t bitOptions(uint32_t options) {
        Request r = adminRequest(kSetBitOptions);
        r.config = TokenConfigMsg{false, 0, false, 0, false, 0, true, options};
        return set(r);
    }
    Device d;
    uint32_t session = 0;
};

}  // namespace

TEST(AdminConfig, RecordReportsTheValuesAndChangesPersist) {
    TempDir dir;
    dravenholt::sim::EngineOptions options;
    options.stateFile = dir.path() / "token.state";
    Officer t(options);
    TokenConfigMsg c = config(t.d);
    EXPECT_EQ(std::vector<uint32_t>({c.value1, c.value2, c.value3, c.value4}), std::vector<uint32_t>({5, 0, 4, 0}));
    ASSERT_EQ(t.loginLimit(3), CKR_OK);
    ASSERT_EQ(t.set(adminRequest(kSetTimeout, 15)), CKR_OK);
    ASSERT_EQ(t.set(adminRequest(kSetPinLengths, 6, 12)), CKR_OK);
    ASSERT_EQ(t.bitOptions(0xA5A5), CKR_OK);
    t.d.restart(options);
    c = config(t.d);
    EXPECT_EQ(std::vector<uint32_t>({c.value1, c.value2, c.value3, c.value4}),
              std::vector<uint32_t>({3, 15, 6, 0xA5A5}));
    EXPECT_EQ(t.d.call(adminRequest(kGetTokenInfo)).tokenInfo->maxPinLen, 12u);
}

TEST(AdminConfig, OnlyTheOfficerChangesAnInitialisedTokenAndValuesAreChecked) {
    Officer t;
    EXPECT_EQ(t.loginLimit(0), CKR_ARGUMENTS_BAD);     // every PIN would be locked
    EXPECT_EQ(t.loginLimit(3, 1), CKR_ARGUMENTS_BAD);  // one limit for both PINs: selector 0
    EXPECT_EQ(t.set(adminRequest(kSetLoginLimit, 3)), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(t.set(adminRequest(kSetTimeout, 256)), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(t.set(adminRequest(kSetPinLengths, 0, 8)), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(t.set(adminRequest(kSetPinLengths, 9, 8)), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(t.set(adminRequest(kSetBitOptions)), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(t.bitOptions(0x10000), CKR_ARGUMENTS_BAD);

    ASSERT_EQ(t.d.call(kLogout, t.session).rv, CKR_OK);
    EXPECT_EQ(t.set(adminRequest(kSetTimeout, 1)), CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(t.d.login(t.session, CKU_USER, kUserPin), CKR_OK);
    EXPECT_EQ(t.set(adminRequest(kSetTimeout, 1)), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(config(t.d).value2, 0u);

    Device blank;  // nothing to protect yet
    EXPECT_EQ(blank.call(adminRequest(kSetPinLengths, 8, 16)).rv, CKR_OK);
}

TEST(AdminConfig, LoginFailureLimitAndPinLengthsApply) {
    Officer t;
    ASSERT_EQ(t.loginLimit(2), CKR_OK);
    ASSERT_EQ(t.set(adminRequest(kSetPinLengths, 6, 8)), CKR_OK);
    auto initPin = [&](const std::string& pin) { return t.set(Call(kInitPin, t.session).data(toBytes(pin)).r); };
    EXPECT_EQ(initPin("12345"), CKR_PIN_LEN_RANGE);
    EXPECT_EQ(initPin("123456789"), CKR_PIN_LEN_RANGE);
    ASSERT_EQ(initPin("123456"), CKR_OK);
    ASSERT_EQ(t.d.call(kLogout, t.session).rv, CKR_OK);
    EXPECT_EQ(t.d.login(t.session, CKU_USER, toBytes("654321")), CKR_PIN_INCORRECT);
    EXPECT_EQ(t.d.login(t.session, CKU_USER, toBytes("654321")), CKR_PIN_LOCKED);
    EXPECT_EQ(t.d.login(t.session, CKU_USER, toBytes("123456")), CKR_PIN_LOCKED);
}

TEST(AdminConfig, IdleSessionsEndAfterTheTimeout) {
    auto now = std::make_shared<int64_t>(1000);
    dravenholt::sim::EngineOptions options;
    options.clock = [now] { return *now; };
    Officer t(options);
    ASSERT_EQ(t.set(adminRequest(kSetTimeout, 1)), CKR_OK);  // one minute
    uint32_t other = t.d.open();
    *now += 59;
    EXPECT_EQ(t.d.call(kGetSessionInfo, t.session).rv, CKR_OK);  // used: its idle time starts again
    *now += 30;
    EXPECT_EQ(t.d.call(kGetSessionInfo, t.session).rv, CKR_OK);
    EXPECT_EQ(t.d.call(kGetSessionInfo, other).rv, CKR_SESSION_HANDLE_INVALID);  // idle for 89 s
    *now += 60;
    EXPECT_EQ(t.d.call(kGetSessionInfo, t.session).rv, CKR_SESSION_HANDLE_INVALID);
    // With the last session the login ended too.
    uint32_t fresh = t.d.open();
    EXPECT_EQ(t.d.call(kGetSessionInfo, fresh).sessionInfo->state, uint32_t(CKS_RW_PUBLIC_SESSION));
    EXPECT_NE(readLog(t.d).find("closed after the idle timeout"), std::string::npos);
}
