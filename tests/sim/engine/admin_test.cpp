// Administration requests: who may make them, the values they accept, the limits taking effect,
// and storage images that are damaged, out of order or cut short leaving the token as it was.
#include "harness.h"

using namespace simtest;

namespace {

enum AdminFn : uint32_t {
    kGetConfig = 53, kSetLoginLimit = 54, kSetTimeout = 55, kSetPinLengths = 56, kFactoryReset = 57,
    kBackup = 59, kRestore = 60, kSetBitOptions = 61, kImportBitcoin = 62, kBitcoinPub = 63, kBitcoinSign = 64,
};

Request adminRequest(uint32_t function, std::optional<uint32_t> handle = {}, std::optional<uint32_t> handle2 = {}) {
    Request r = Call(function).r;
    r.handle = handle;
    r.handle2 = handle2;
    return r;
}

// The image in pieces until the device answers anything but CKR_OPERATION_ACTIVE.
std::pair<uint32_t, Bytes> backup(Device& d) {
    Bytes image;
    std::optional<uint32_t> continuation;
    for (;;) {
        Request r = adminRequest(kBackup, continuation);
        r.length = 1u << 20;
        Response resp = d.call(r);
        if (resp.rv != CKR_OK && resp.rv != CKR_OPERATION_ACTIVE) return {resp.rv, image};
        if (resp.data) image.insert(image.end(), resp.data->begin(), resp.data->end());
        if (resp.rv == CKR_OK || !resp.handle) return {resp.rv, image};
        continuation = resp.handle;
    }
}

// Pieces of 1536 bytes with the total in field 6 and the offset past each in field 12.
uint32_t restore(Device& d, const Bytes& image, size_t total = 0) {
    uint32_t rv = CKR_OK;
    size_t sent = 0;
    do {
        size_t n = std::min<size_t>(1536, image.size() - sent);
        Request r = adminRequest(kRestore, uint32_t(total ? total : image.size()), uint32_t(sent + n));
        r.data = Bytes(image.begin() + long(sent), image.begin() + long(sent + n));
        sent += n;
        rv = d.call(r).rv;
    } while (rv == CKR_OPERATION_ACTIVE && sent < image.size());
    return rv;
}

uint32_t timeoutMinutes(Device& d) { return d.call(adminRequest(kGetConfig)).config.value_or(TokenConfigMsg{}).value2; }

// A ready token holding two large data objects (an image of several pieces), whose SO is
// logged in on `session`.
struct Officer {
    explicit Officer(dravenholt::sim::EngineOptions options = {}) : d(std::move(options)) {
        session = d.readyUserSession();
        for (uint8_t fill : {1, 2})
            d.create(session, {num(CKA_CLASS, CKO_DATA), flag(CKA_TOKEN, true), bytes(CKA_VALUE, Bytes(1500, fill))});
        EXPECT_EQ(d.call(fn::Logout, session).rv, CKR_OK);
        EXPECT_EQ(d.login(session, CKU_SO, kSoPin), CKR_OK);
    }
    uint32_t set(Request r) { return d.call(r).rv; }
    uint32_t loginLimit(uint32_t count, uint32_t selector = 0) {
        Request r = adminRequest(kSetLoginLimit, count);
        r.value = selector;
        return set(r);
    }
    Device d;
    uint32_t session = 0;
};

}  // namespace

TEST(Admin, OnlyTheOfficerChangesAnInitialisedTokenAndValuesAreChecked) {
    Officer t;
    Request noOptions = adminRequest(kSetBitOptions), wideOptions = noOptions;
    wideOptions.config = TokenConfigMsg{false, 0, false, 0, false, 0, true, 0x10000};
    EXPECT_EQ(t.loginLimit(0), CKR_ARGUMENTS_BAD);     // every PIN would be locked
    EXPECT_EQ(t.loginLimit(3, 1), CKR_ARGUMENTS_BAD);  // one limit for both PINs: selector 0
    for (const Request& bad : {adminRequest(kSetLoginLimit, 3), adminRequest(kSetTimeout, 256),
                               adminRequest(kSetPinLengths, 0, 8), adminRequest(kSetPinLengths, 9, 8), noOptions,
                               wideOptions})
        EXPECT_EQ(t.set(bad), CKR_ARGUMENTS_BAD) << bad.function;

    ASSERT_EQ(t.d.call(fn::Logout, t.session).rv, CKR_OK);
    EXPECT_EQ(t.set(adminRequest(kSetTimeout, 1)), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(backup(t.d).first, CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(t.d.login(t.session, CKU_USER, kUserPin), CKR_OK);
    EXPECT_EQ(t.set(adminRequest(kSetTimeout, 1)), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(backup(t.d).first, CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(restore(t.d, Bytes(100, 1)), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(timeoutMinutes(t.d), 0u);

    Device blank;  // nothing to protect yet
    EXPECT_EQ(blank.call(adminRequest(kSetPinLengths, 8, 16)).rv, CKR_OK);
}

TEST(Admin, LoginFailureLimitAndPinLengthsApply) {
    Officer t;
    ASSERT_EQ(t.loginLimit(2), CKR_OK);
    ASSERT_EQ(t.set(adminRequest(kSetPinLengths, 6, 8)), CKR_OK);
    auto initPin = [&](const std::string& pin) { return t.set(Call(fn::InitPIN, t.session).data(toBytes(pin)).r); };
    EXPECT_EQ(initPin("12345"), CKR_PIN_LEN_RANGE);
    EXPECT_EQ(initPin("123456789"), CKR_PIN_LEN_RANGE);
    ASSERT_EQ(initPin("123456"), CKR_OK);
    ASSERT_EQ(t.d.call(fn::Logout, t.session).rv, CKR_OK);
    EXPECT_EQ(t.d.login(t.session, CKU_USER, toBytes("654321")), CKR_PIN_INCORRECT);
    EXPECT_EQ(t.d.login(t.session, CKU_USER, toBytes("654321")), CKR_PIN_LOCKED);
    EXPECT_EQ(t.d.login(t.session, CKU_USER, toBytes("123456")), CKR_PIN_LOCKED);
}

TEST(Admin, IdleSessionsEndAfterTheTimeoutAndTheLoginWithTheLast) {
    auto now = std::make_shared<int64_t>(1000);
    dravenholt::sim::EngineOptions options;
    options.clock = [now] { return *now; };
    Officer t(options);
    ASSERT_EQ(t.set(adminRequest(kSetTimeout, 1)), CKR_OK);  // one minute
    uint32_t other = t.d.open();
    *now += 59;
    EXPECT_EQ(t.d.call(fn::GetSessionInfo, t.session).rv, CKR_OK);  // used: its idle time starts again
    *now += 30;
    EXPECT_EQ(t.d.call(fn::GetSessionInfo, t.session).rv, CKR_OK);
    EXPECT_EQ(t.d.call(fn::GetSessionInfo, other).rv, CKR_SESSION_HANDLE_INVALID);  // idle for 89 s
    *now += 60;
    EXPECT_EQ(t.d.call(fn::GetSessionInfo, t.session).rv, CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(t.d.call(fn::GetSessionInfo, t.d.open()).sessionInfo->state, uint32_t(CKS_RW_PUBLIC_SESSION));
}

TEST(Admin, DamagedOrIncompleteImagesAreRefusedAndTheTokenKeepsItsState) {
    Officer t;
    ASSERT_EQ(t.set(adminRequest(kSetTimeout, 30)), CKR_OK);
    auto [rv, image] = backup(t.d);
    ASSERT_EQ(rv, CKR_OK);
    ASSERT_GT(image.size(), 3072u);
    Bytes corrupted = image, truncated(image.begin(), image.end() - 100);
    corrupted[corrupted.size() / 2] ^= 0x01;
    for (const Bytes& bad : {corrupted, truncated, Bytes(16, 0x5A)}) {
        EXPECT_EQ(restore(t.d, bad), CKR_DATA_INVALID);
        EXPECT_EQ(t.d.call(fn::GetSessionInfo, t.session).rv, CKR_OK);  // nothing was replaced
    }
    // Pieces out of order, or a transfer that stops early, change nothing either.
    Request first = adminRequest(kRestore, uint32_t(image.size()), 1536);
    first.data = Bytes(image.begin(), image.begin() + 1536);
    EXPECT_EQ(t.d.call(first).rv, CKR_OPERATION_ACTIVE);
    Request skipped = adminRequest(kRestore, uint32_t(image.size()), 3072 + 10);
    skipped.data = Bytes(1536, 0);
    EXPECT_EQ(t.d.call(skipped).rv, CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(t.d.call(first).rv, CKR_OPERATION_ACTIVE);
    EXPECT_EQ(timeoutMinutes(t.d), 30u);
    EXPECT_EQ(restore(t.d, image, 8u << 20), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(t.d.rv(Call(kRestore).data(Bytes(4, 0))), CKR_ARGUMENTS_BAD);
    Response small = t.d.call(Call(kBackup).length(100));
    EXPECT_EQ(small.rv, CKR_BUFFER_TOO_SMALL);
    EXPECT_GT(small.length.value_or(0), 3000u);
    EXPECT_EQ(t.d.rv(Call(kBackup).handle(12345).length(1u << 20)), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(restore(t.d, image), CKR_OK);  // the whole image after all that is taken
}

// The Bitcoin key slot: one key, never readable, and its requests' refusals.
TEST(Admin, BitcoinSlotRefusals) {
    constexpr uint32_t kNoBitcoinKey = 0x80000001, kBitcoinKeyExists = 0x80000002;
    Device d;
    uint32_t s = d.readyUserSession();
    auto pub = [&](Bytes path, uint32_t capacity = 65) { return d.call(Call(kBitcoinPub, s).data(path).length(capacity)); };
    EXPECT_EQ(pub({}).rv, kNoBitcoinKey);
    EXPECT_EQ(d.rv(Call(kImportBitcoin, s).data(Bytes(15, 1))), CKR_KEY_SIZE_RANGE);
    EXPECT_EQ(d.rv(Call(kImportBitcoin, s).data(Bytes(65, 1))), CKR_KEY_SIZE_RANGE);
    ASSERT_EQ(d.rv(Call(kImportBitcoin, s).data(Bytes(16, 3))), CKR_OK);
    EXPECT_EQ(d.rv(Call(kImportBitcoin, s).data(Bytes(32, 7))), kBitcoinKeyExists);
    // Neither the key nor its chain code can be read (the key is the token's first object).
    Response secret = d.getAttributes(s, 1, {CKA_VALUE, 0x8000B1C0u});
    EXPECT_EQ(secret.rv, CKR_ATTRIBUTE_SENSITIVE);
    for (const Attribute& a : secret.attributes) EXPECT_FALSE(a.value && !a.value->empty());
    EXPECT_EQ(pub(Bytes(5, 0)).rv, CKR_ARGUMENTS_BAD);
    EXPECT_EQ(pub(Bytes(1024, 0)).rv, CKR_ARGUMENTS_BAD);
    Response small = pub({}, 32);
    EXPECT_EQ(small.rv, CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(small.length, 33u);
    EXPECT_EQ(d.rv(Call(kBitcoinSign, s).data(Bytes(4, 0)).data2(Bytes(31, 1)).length(72)), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(d.rv(Call(kBitcoinSign, s)), CKR_ARGUMENTS_BAD);
    ASSERT_EQ(d.call(fn::Logout, s).rv, CKR_OK);
    EXPECT_EQ(pub({}).rv, CKR_USER_NOT_LOGGED_IN);

    Device fresh;  // the key is a token object: a read-only session cannot make it
    fresh.readyUserSession();
    EXPECT_EQ(fresh.rv(Call(kImportBitcoin, fresh.open(false)).data(Bytes(16, 3))), CKR_SESSION_READ_ONLY);
}
