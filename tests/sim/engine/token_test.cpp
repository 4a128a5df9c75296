// Token information, initialisation, PINs with lock-out, and persistence of the token state.
#include <fstream>

#include "harness.h"

using namespace simtest;

namespace {

std::string field(const pb_byte_t* bytes, pb_size_t size) { return std::string(bytes, bytes + size); }

TokenInfoMsg tokenInfo(Device& d) {
    Request r;
    r.function = kGetTokenInfo;
    Response resp = d.call(r);
    EXPECT_EQ(resp.rv, CKR_OK);
    EXPECT_TRUE(resp.tokenInfo.has_value());
    return resp.tokenInfo.value_or(TokenInfoMsg{});
}

Request setPinRequest(uint32_t session, const Bytes& oldPin, const Bytes& newPin) {
    Request r;
    r.function = kSetPin;
    r.session = session;
    r.data = oldPin;
    r.data2 = newPin;
    return r;
}

}  // namespace

TEST(Token, InfoIsBlankPaddedAndTellsTheState) {
    dravenholt::sim::EngineOptions options;
    options.serialNumber = "0A0B0C000001";
    Device d(options);
    TokenInfoMsg info = tokenInfo(d);
    EXPECT_EQ(field(info.manufacturerId.bytes, info.manufacturerId.size), "Dravenholtique" + std::string(18, ' '));
    EXPECT_EQ(field(info.model.bytes, info.model.size), "Orvo" + std::string(12, ' '));
    EXPECT_EQ(field(info.serialNumber.bytes, info.serialNumber.size), "0A0B0C000001    ");
    EXPECT_EQ(info.label.size, 32u);
    EXPECT_EQ(info.utcTime.size, 16u);
    EXPECT_FALSE(info.flags & CKF_TOKEN_INITIALIZED);
    EXPECT_TRUE(info.flags & CKF_RNG);

    d.initToken("my label");
    info = tokenInfo(d);
    EXPECT_EQ(field(info.label.bytes, info.label.size), "my label" + std::string(24, ' '));
    EXPECT_TRUE(info.flags & CKF_TOKEN_INITIALIZED);
    EXPECT_FALSE(info.flags & CKF_USER_PIN_INITIALIZED);
}

TEST(Token, SetTimeMovesTheTokenClock) {
    Device d;
    Request r;
    r.function = kSetTime;
    r.handle = 946684800;  // 2000-01-01 00:00:00 UTC
    EXPECT_EQ(d.call(r).rv, CKR_OK);
    TokenInfoMsg info = tokenInfo(d);
    EXPECT_EQ(field(info.utcTime.bytes, info.utcTime.size).substr(0, 10), "2000010100");
}

TEST(Token, InitTokenNeedsTheSoPinOnceInitialisedAndNoOpenSession) {
    Device d;
    d.initToken();
    uint32_t s = d.open();
    Request again;
    again.function = kInitToken;
    again.data = kSoPin;
    again.data2 = Bytes(32, ' ');
    EXPECT_EQ(d.call(again).rv, CKR_SESSION_EXISTS);
    EXPECT_EQ(d.call(kCloseSession, s).rv, CKR_OK);
    again.data = toBytes("wrong-pin");
    EXPECT_EQ(d.call(again).rv, CKR_PIN_INCORRECT);
    again.data = kSoPin;
    EXPECT_EQ(d.call(again).rv, CKR_OK);
}

TEST(Token, ReinitialisingDestroysTokenObjectsAndTheUserPin) {
    Device d;
    uint32_t s = d.readyUserSession();
    d.create(s, {num(CKA_CLASS, CKO_DATA), flag(CKA_TOKEN, true), text(CKA_LABEL, "kept?")});
    EXPECT_EQ(d.call(kCloseSession, s).rv, CKR_OK);
    d.initToken();
    EXPECT_FALSE(tokenInfo(d).flags & CKF_USER_PIN_INITIALIZED);
    s = d.open();
    Request find;
    find.function = kFindInit;
    find.session = s;
    EXPECT_EQ(d.call(find).rv, CKR_OK);
    Request next;
    next.function = kFindObjects;
    next.session = s;
    next.length = 10;
    EXPECT_EQ(d.call(next).data.value_or(Bytes{1}).size(), 0u);
}

TEST(Token, PinLengthIsChecked) {
    Device d;
    Request r;
    r.function = kInitToken;
    r.data = toBytes("123");
    r.data2 = Bytes(32, ' ');
    EXPECT_EQ(d.call(r).rv, CKR_PIN_LEN_RANGE);
}

TEST(Token, UserPinLocksAfterRepeatedFailuresAndSoUnlocksIt) {
    Device d;
    uint32_t s = d.readyUserSession();
    EXPECT_EQ(d.call(kLogout, s).rv, CKR_OK);
    Bytes wrong = toBytes("not-the-pin");
    EXPECT_EQ(d.login(s, CKU_USER, wrong), CKR_PIN_INCORRECT);
    EXPECT_TRUE(tokenInfo(d).flags & CKF_USER_PIN_COUNT_LOW);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(d.login(s, CKU_USER, wrong), CKR_PIN_INCORRECT);
    EXPECT_TRUE(tokenInfo(d).flags & CKF_USER_PIN_FINAL_TRY);
    EXPECT_EQ(d.login(s, CKU_USER, wrong), CKR_PIN_LOCKED);
    EXPECT_TRUE(tokenInfo(d).flags & CKF_USER_PIN_LOCKED);
    // Locked: even the right PIN is refused.
    EXPECT_EQ(d.login(s, CKU_USER, kUserPin), CKR_PIN_LOCKED);

    EXPECT_EQ(d.login(s, CKU_SO, kSoPin), CKR_OK);
    Request init;
    init.function = kInitPin;
    init.session = s;
    init.data = toBytes("fresh-pin");
    EXPECT_EQ(d.call(init).rv, CKR_OK);
    EXPECT_EQ(d.call(kLogout, s).rv, CKR_OK);
    EXPECT_EQ(d.login(s, CKU_USER, toBytes("fresh-pin")), CKR_OK);
    EXPECT_FALSE(tokenInfo(d).flags & (CKF_USER_PIN_LOCKED | CKF_USER_PIN_COUNT_LOW));
}

TEST(Token, SuccessfulLoginClearsTheFailureCount) {
    Device d;
    uint32_t s = d.readyUserSession();
    EXPECT_EQ(d.call(kLogout, s).rv, CKR_OK);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(d.login(s, CKU_USER, toBytes("bad-pin-x")), CKR_PIN_INCORRECT);
    EXPECT_EQ(d.login(s, CKU_USER, kUserPin), CKR_OK);
    EXPECT_EQ(d.call(kLogout, s).rv, CKR_OK);
    EXPECT_EQ(d.login(s, CKU_USER, toBytes("bad-pin-x")), CKR_PIN_INCORRECT);
    EXPECT_EQ(d.login(s, CKU_USER, kUserPin), CKR_OK);
}

TEST(Token, SetPinChangesTheLoggedInUsersPin) {
    Device d;
    uint32_t s = d.readyUserSession();
    EXPECT_EQ(d.call(setPinRequest(s, toBytes("wrong-old"), toBytes("newpin99"))).rv, CKR_PIN_INCORRECT);
    EXPECT_EQ(d.call(setPinRequest(s, kUserPin, toBytes("ab"))).rv, CKR_PIN_LEN_RANGE);
    EXPECT_EQ(d.call(setPinRequest(s, kUserPin, toBytes("newpin99"))).rv, CKR_OK);
    EXPECT_EQ(d.call(kLogout, s).rv, CKR_OK);
    EXPECT_EQ(d.login(s, CKU_USER, kUserPin), CKR_PIN_INCORRECT);
    EXPECT_EQ(d.login(s, CKU_USER, toBytes("newpin99")), CKR_OK);

    uint32_t ro = d.open(false);
    EXPECT_EQ(d.call(setPinRequest(ro, toBytes("newpin99"), kUserPin)).rv, CKR_SESSION_READ_ONLY);
}

TEST(Token, SoChangesItsOwnPinWhenLoggedIn) {
    Device d;
    d.initToken();
    uint32_t s = d.open();
    EXPECT_EQ(d.login(s, CKU_SO, kSoPin), CKR_OK);
    EXPECT_EQ(d.call(setPinRequest(s, kSoPin, toBytes("new-so-pin"))).rv, CKR_OK);
    EXPECT_EQ(d.call(kLogout, s).rv, CKR_OK);
    EXPECT_EQ(d.login(s, CKU_SO, toBytes("new-so-pin")), CKR_OK);
}

TEST(Persistence, TokenObjectsPinsAndCountersSurviveARestart) {
    TempDir dir;
    dravenholt::sim::EngineOptions options;
    options.stateFile = dir.path() / "device.state";
    Device d(options);
    uint32_t s = d.readyUserSession();
    uint32_t key = d.secretKey(s, CKK_AES, hex("000102030405060708090a0b0c0d0e0f"),
                               {flag(CKA_TOKEN, true), text(CKA_LABEL, "persistent")});
    Bytes before = d.crypt(s, true, mech(CKM_AES_ECB), key, Bytes(16, 0x42));
    d.create(s, {num(CKA_CLASS, CKO_DATA), text(CKA_LABEL, "session only")});
    EXPECT_EQ(d.call(kLogout, s).rv, CKR_OK);
    EXPECT_EQ(d.login(s, CKU_USER, toBytes("bad-pin-x")), CKR_PIN_INCORRECT);

    d.restart(options);
    EXPECT_TRUE(tokenInfo(d).flags & CKF_USER_PIN_COUNT_LOW);
    s = d.open();
    EXPECT_EQ(d.login(s, CKU_USER, kUserPin), CKR_OK);
    Request find;
    find.function = kFindInit;
    find.session = s;
    EXPECT_EQ(d.call(find).rv, CKR_OK);
    Request next;
    next.function = kFindObjects;
    next.session = s;
    next.length = 10;
    Bytes handles = d.call(next).data.value_or(Bytes{});
    ASSERT_EQ(handles.size(), 4u);  // the key only: the session object is gone
    uint32_t found = handles[0] | handles[1] << 8 | handles[2] << 16 | uint32_t(handles[3]) << 24;
    EXPECT_EQ(d.attribute(s, found, CKA_LABEL), toBytes("persistent"));
    EXPECT_EQ(d.call(kFindFinal, s).rv, CKR_OK);
    EXPECT_EQ(d.crypt(s, true, mech(CKM_AES_ECB), found, Bytes(16, 0x42)), before);
}

TEST(Persistence, ACorruptedStateFileIsRefusedAndLeftAsItIs) {
    TempDir dir;
    dravenholt::sim::EngineOptions options;
    options.stateFile = dir.path() / "device.state";
    {
        Device d(options);
        d.initToken();
    }
    std::string content;
    {
        std::ifstream in(options.stateFile, std::ios::binary);
        content.assign(std::istreambuf_iterator<char>(in), {});
    }
    ASSERT_GT(content.size(), 40u);
    content[content.size() / 2] ^= 0x01;
    {
        std::ofstream out(options.stateFile, std::ios::binary | std::ios::trunc);
        out << content;
    }
    try {
        dravenholt::sim::Engine engine(options);
        FAIL() << "a damaged state file was accepted";
    } catch (const dravenholt::sim::EngineError& e) {
        EXPECT_NE(std::string(e.what()).find("damaged"), std::string::npos) << e.what();
    }
    std::ifstream in(options.stateFile, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), content);
    EXPECT_FALSE(std::filesystem::exists(options.stateFile.string() + ".tmp"));
}

TEST(Persistence, AMissingFileStartsAFreshTokenAndAnEmptyOneIsRefused) {
    TempDir dir;
    dravenholt::sim::EngineOptions options;
    options.stateFile = dir.path() / "fresh.state";
    {
        Device d(options);
        EXPECT_FALSE(tokenInfo(d).flags & CKF_TOKEN_INITIALIZED);
    }
    EXPECT_FALSE(std::filesystem::exists(options.stateFile));
    std::ofstream(options.stateFile).close();
    EXPECT_THROW(dravenholt::sim::Engine{options}, dravenholt::sim::EngineError);
}

TEST(Persistence, AFailedWriteLeavesTheTokenAsItWas) {
    TempDir dir;
    dravenholt::sim::EngineOptions options;
    options.stateFile = dir.path() / "sub" / "device.state";  // its directory does not exist
    Device d(options);
    Request r;
    r.function = kInitToken;
    r.data = kSoPin;
    r.data2 = Bytes(32, ' ');
    EXPECT_EQ(d.call(r).rv, CKR_DEVICE_ERROR);
    EXPECT_FALSE(tokenInfo(d).flags & CKF_TOKEN_INITIALIZED);
}
