// Administration requests: who may make them, the values they accept, the limits taking effect,
// and storage images that are damaged, out of order or cut short leaving the token as it was.
#include "harness.h"

using namespace simtest;

namespace {

// A ready token holding two large data objects (an image of several pieces), whose SO is
// logged in on `session`.
struct Officer {
    explicit Officer(dravenholt::sim::EngineOptions options = {}) : d(std::move(options)) {
        session = d.readyUserSession();
        for (uint8_t fill : {1, 2})
            d.create(session, {num(CKA_CLASS, CKO_DATA), flag(CKA_TOKEN, true), bytes(CKA_VALUE, Bytes(1500, fill))});
        EXPECT_EQ(d.rv(Call(fn::Logout, session)), CKR_OK);
        EXPECT_EQ(d.login(session, CKU_SO, kSoPin), CKR_OK);
    }
    // The image in pieces until the device answers anything but CKR_OPERATION_ACTIVE.
    std::pair<uint32_t, Bytes> backup() {
        Bytes image;
        for (Call piece = Call(fn::BackupStorage).length(1u << 20);;) {
            Response resp = d.call(piece);
            if (resp.data) image.insert(image.end(), resp.data->begin(), resp.data->end());
            if (resp.rv != CKR_OPERATION_ACTIVE || !resp.handle) return {resp.rv, image};
            piece.handle(*resp.handle);
        }
    }
    // Pieces of 1536 bytes, each with the total and the offset past it.
    uint32_t restore(const Bytes& image, size_t total = 0) {
        uint32_t rv = CKR_OPERATION_ACTIVE;
        for (size_t sent = 0; rv == CKR_OPERATION_ACTIVE && sent < image.size();) {
            size_t n = std::min<size_t>(1536, image.size() - sent);
            Bytes piece(image.begin() + long(sent), image.begin() + long(sent + n));
            sent += n;
            rv = d.rv(Call(fn::RestoreStorage).handle(uint32_t(total ? total : image.size())).handle2(uint32_t(sent)).data(piece));
        }
        return rv;
    }
    uint32_t timeoutMinutes() { return d.call(Call(fn::GetTokenConfig)).config.value_or(TokenConfigMsg{}).value2; }

    Device d;
    uint32_t session = 0;
};

}  // namespace

TEST(Admin, OnlyTheOfficerChangesAnInitialisedTokenAndValuesAreChecked) {
    Officer t;
    Call wideOptions(fn::SetBitOptions);
    wideOptions.r.config = TokenConfigMsg{false, 0, false, 0, false, 0, true, 0x10000};
    for (const Call& bad : {Call(fn::SetMaxLoginFailCnt).handle(0).value(0),  // every PIN would be locked
                            Call(fn::SetMaxLoginFailCnt).handle(3).value(1),  // one limit for both PINs: selector 0
                            Call(fn::SetMaxLoginFailCnt).handle(3), Call(fn::SetSessionTimeout).handle(256),
                            Call(fn::SetPasswordLengths).handle(0).handle2(8), Call(fn::SetPasswordLengths).handle(9).handle2(8),
                            Call(fn::SetBitOptions), wideOptions})
        EXPECT_EQ(t.d.rv(bad), CKR_ARGUMENTS_BAD) << bad.r.function;

    ASSERT_EQ(t.d.rv(Call(fn::Logout, t.session)), CKR_OK);
    EXPECT_EQ(t.d.rv(Call(fn::SetSessionTimeout).handle(1)), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(t.backup().first, CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(t.d.login(t.session, CKU_USER, kUserPin), CKR_OK);
    EXPECT_EQ(t.d.rv(Call(fn::SetSessionTimeout).handle(1)), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(t.backup().first, CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(t.restore(Bytes(100, 1)), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(t.timeoutMinutes(), 0u);

    Device blank;  // nothing to protect yet
    EXPECT_EQ(blank.rv(Call(fn::SetPasswordLengths).handle(8).handle2(16)), CKR_OK);
}

TEST(Admin, LoginFailureLimitAndPinLengthsApply) {
    Officer t;
    ASSERT_EQ(t.d.rv(Call(fn::SetMaxLoginFailCnt).handle(2).value(0)), CKR_OK);
    ASSERT_EQ(t.d.rv(Call(fn::SetPasswordLengths).handle(6).handle2(8)), CKR_OK);
    for (const char* tooShortOrLong : {"12345", "123456789"})
        EXPECT_EQ(t.d.rv(Call(fn::InitPIN, t.session).data(toBytes(tooShortOrLong))), CKR_PIN_LEN_RANGE);
    ASSERT_EQ(t.d.rv(Call(fn::InitPIN, t.session).data(toBytes("123456"))), CKR_OK);
    ASSERT_EQ(t.d.rv(Call(fn::Logout, t.session)), CKR_OK);
    EXPECT_EQ(t.d.login(t.session, CKU_USER, toBytes("654321")), CKR_PIN_INCORRECT);
    EXPECT_EQ(t.d.login(t.session, CKU_USER, toBytes("654321")), CKR_PIN_LOCKED);
    EXPECT_EQ(t.d.login(t.session, CKU_USER, toBytes("123456")), CKR_PIN_LOCKED);
}

TEST(Admin, IdleSessionsEndAfterTheTimeoutAndTheLoginWithTheLast) {
    auto now = std::make_shared<int64_t>(1000);
    dravenholt::sim::EngineOptions options;
    options.clock = [now] { return *now; };
    Officer t(options);
    ASSERT_EQ(t.d.rv(Call(fn::SetSessionTimeout).handle(1)), CKR_OK);  // one minute
    uint32_t other = t.d.open();
    *now += 59;
    EXPECT_EQ(t.d.rv(Call(fn::GetSessionInfo, t.session)), CKR_OK);  // used: its idle time starts again
    *now += 30;
    EXPECT_EQ(t.d.rv(Call(fn::GetSessionInfo, t.session)), CKR_OK);
    EXPECT_EQ(t.d.rv(Call(fn::GetSessionInfo, other)), CKR_SESSION_HANDLE_INVALID);  // idle for 89 s
    *now += 60;
    EXPECT_EQ(t.d.rv(Call(fn::GetSessionInfo, t.session)), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(t.d.state(t.d.open()), uint32_t(CKS_RW_PUBLIC_SESSION));
}

TEST(Admin, DamagedOrIncompleteImagesAreRefusedAndTheTokenKeepsItsState) {
    Officer t;
    ASSERT_EQ(t.d.rv(Call(fn::SetSessionTimeout).handle(30)), CKR_OK);
    auto [rv, image] = t.backup();
    ASSERT_EQ(rv, CKR_OK);
    ASSERT_GT(image.size(), 3072u);
    Bytes corrupted = image, truncated(image.begin(), image.end() - 100);
    corrupted[corrupted.size() / 2] ^= 0x01;
    for (const Bytes& bad : {corrupted, truncated, Bytes(16, 0x5A)}) {
        EXPECT_EQ(t.restore(bad), CKR_DATA_INVALID);
        EXPECT_EQ(t.d.rv(Call(fn::GetSessionInfo, t.session)), CKR_OK);  // nothing was replaced
    }
    // Pieces out of order, or a transfer that stops early, change nothing either.
    const uint32_t total = uint32_t(image.size());
    Call first = Call(fn::RestoreStorage).handle(total).handle2(1536).data(Bytes(image.begin(), image.begin() + 1536));
    EXPECT_EQ(t.d.rv(first), CKR_OPERATION_ACTIVE);
    EXPECT_EQ(t.d.rv(Call(fn::RestoreStorage).handle(total).handle2(3072 + 10).data(Bytes(1536, 0))), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(t.d.rv(first), CKR_OPERATION_ACTIVE);
    EXPECT_EQ(t.timeoutMinutes(), 30u);
    EXPECT_EQ(t.restore(image, 8u << 20), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(t.d.rv(Call(fn::RestoreStorage).data(Bytes(4, 0))), CKR_ARGUMENTS_BAD);
    Response small = t.d.call(Call(fn::BackupStorage).length(100));
    EXPECT_EQ(small.rv, CKR_BUFFER_TOO_SMALL);
    EXPECT_GT(small.length.value_or(0), 3000u);
    EXPECT_EQ(t.d.rv(Call(fn::BackupStorage).handle(12345).length(1u << 20)), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(t.restore(image), CKR_OK);  // the whole image after all that is taken
}

// One key, never readable.
TEST(Admin, BitcoinSlotRefusals) {
    constexpr uint32_t kNoBitcoinKey = 0x80000001, kBitcoinKeyExists = 0x80000002;
    Device d;
    uint32_t s = d.readyUserSession();
    auto pub = [&](Bytes path, uint32_t capacity = 65) { return d.call(Call(fn::GetBitcoinPub, s).data(path).length(capacity)); };
    EXPECT_EQ(pub({}).rv, kNoBitcoinKey);
    // Seeds of 16 to 64 bytes; the key is a token object, which a read-only session cannot make.
    for (auto [size, session, rv] : {std::tuple{15, s, CKR_KEY_SIZE_RANGE}, {65, s, CKR_KEY_SIZE_RANGE},
                                     {16, d.open(false), CKR_SESSION_READ_ONLY}, {16, s, CKR_OK}, {32, s, kBitcoinKeyExists}})
        EXPECT_EQ(d.rv(Call(fn::ImportBitcoinKey, session).data(Bytes(size, 3))), rv) << size;
    // Neither the key nor its chain code can be read (the key is the token's first object).
    Response secret = d.getAttributes(s, 1, {CKA_VALUE, 0x8000B1C0u});
    EXPECT_EQ(secret.rv, CKR_ATTRIBUTE_SENSITIVE);
    for (const Attribute& a : secret.attributes) EXPECT_FALSE(a.value && !a.value->empty());
    for (size_t badPath : {5, 1024}) EXPECT_EQ(pub(Bytes(badPath, 0)).rv, CKR_ARGUMENTS_BAD) << badPath;
    Response small = pub({}, 32);
    EXPECT_EQ(small.rv, CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(small.length, 33u);
    EXPECT_EQ(d.rv(Call(fn::SignBitcoinHash, s).data(Bytes(4, 0)).data2(Bytes(31, 1)).length(72)), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(d.rv(Call(fn::SignBitcoinHash, s)), CKR_ARGUMENTS_BAD);
    ASSERT_EQ(d.rv(Call(fn::Logout, s)), CKR_OK);
    EXPECT_EQ(pub({}).rv, CKR_USER_NOT_LOGGED_IN);
}
