// Token information, initialisation, PINs with lock-out, and persistence of the token state.
#include <fstream>

#include <mbedtls/pkcs5.h>
#include <mbedtls/sha256.h>

#include "engine/state_file.h"
#include "harness.h"

using namespace simtest;

namespace {

std::string field(const pb_byte_t* bytes, pb_size_t size) { return std::string(bytes, bytes + size); }

TokenInfoMsg tokenInfo(Device& d) {
    Response resp = d.call(Call(kGetTokenInfo));
    EXPECT_EQ(resp.rv, CKR_OK);
    return resp.tokenInfo.value_or(TokenInfoMsg{});
}

Call setPin(uint32_t session, const Bytes& oldPin, const Bytes& newPin) {
    return Call(kSetPin, session).data(oldPin).data2(newPin);
}

const Call kInit = Call(kInitToken).data(kSoPin).data2(Bytes(32, ' '));

struct Persistence : ::testing::Test {
    TempDir dir;
    dravenholt::sim::EngineOptions options;
    void SetUp() override { options.stateFile = dir.path() / "device.state"; }
};

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
    EXPECT_EQ(info.flags & (CKF_TOKEN_INITIALIZED | CKF_RNG), CKF_RNG);

    d.initToken("my label");
    info = tokenInfo(d);
    EXPECT_EQ(field(info.label.bytes, info.label.size), "my label" + std::string(24, ' '));
    EXPECT_EQ(info.flags & (CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED), CKF_TOKEN_INITIALIZED);
    EXPECT_EQ(d.rv(Call(kSetTime).handle(946684800)), CKR_OK);  // 2000-01-01 00:00:00 UTC
    info = tokenInfo(d);
    EXPECT_EQ(field(info.utcTime.bytes, info.utcTime.size).substr(0, 10), "2000010100");
}

TEST(Token, InitialisationNeedsAnAcceptableSoPinNoSessionAndClearsTheToken) {
    Device d;
    EXPECT_EQ(d.rv(Call(kInitToken).data(toBytes("123")).data2(Bytes(32, ' '))), CKR_PIN_LEN_RANGE);
    uint32_t s = d.readyUserSession();
    d.create(s, {num(CKA_CLASS, CKO_DATA), flag(CKA_TOKEN, true)});
    EXPECT_EQ(d.rv(kInit), CKR_SESSION_EXISTS);
    EXPECT_EQ(d.rv(Call(kCloseSession, s)), CKR_OK);
    EXPECT_EQ(d.rv(Call(kInit).data(toBytes("wrong-pin")).data2(Bytes(32, ' '))), CKR_PIN_INCORRECT);
    EXPECT_EQ(d.rv(kInit), CKR_OK);
    EXPECT_FALSE(tokenInfo(d).flags & CKF_USER_PIN_INITIALIZED);
    EXPECT_TRUE(d.find(d.open(), {}).empty());
    EXPECT_EQ(d.rv(Call(kInitToken).data(toBytes("123")).data2(Bytes(32, ' '))), CKR_SESSION_EXISTS);
}

TEST(Token, UserPinLocksAfterRepeatedFailuresAndSoUnlocksIt) {
    Device d;
    uint32_t s = d.readyUserSession();
    EXPECT_EQ(d.rv(Call(kLogout, s)), CKR_OK);
    Bytes wrong = toBytes("not-the-pin");
    // A successful login clears the count.
    for (int i = 0; i < 4; ++i) EXPECT_EQ(d.login(s, CKU_USER, wrong), CKR_PIN_INCORRECT);
    EXPECT_EQ(d.login(s, CKU_USER, kUserPin), CKR_OK);
    EXPECT_EQ(d.rv(Call(kLogout, s)), CKR_OK);
    EXPECT_EQ(d.login(s, CKU_USER, wrong), CKR_PIN_INCORRECT);
    EXPECT_TRUE(tokenInfo(d).flags & CKF_USER_PIN_COUNT_LOW);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(d.login(s, CKU_USER, wrong), CKR_PIN_INCORRECT);
    EXPECT_TRUE(tokenInfo(d).flags & CKF_USER_PIN_FINAL_TRY);
    EXPECT_EQ(d.login(s, CKU_USER, wrong), CKR_PIN_LOCKED);
    EXPECT_TRUE(tokenInfo(d).flags & CKF_USER_PIN_LOCKED);
    EXPECT_EQ(d.login(s, CKU_USER, kUserPin), CKR_PIN_LOCKED);  // even the right PIN

    EXPECT_EQ(d.login(s, CKU_SO, kSoPin), CKR_OK);
    EXPECT_EQ(d.rv(Call(kInitPin, s).data(toBytes("fresh-pin"))), CKR_OK);
    EXPECT_EQ(d.rv(Call(kLogout, s)), CKR_OK);
    EXPECT_EQ(d.login(s, CKU_USER, toBytes("fresh-pin")), CKR_OK);
    EXPECT_FALSE(tokenInfo(d).flags & (CKF_USER_PIN_LOCKED | CKF_USER_PIN_COUNT_LOW));
}

TEST(Token, SetPinChangesThePinOfWhoeverIsLoggedIn) {
    Device d;
    uint32_t s = d.readyUserSession();
    EXPECT_EQ(d.rv(setPin(s, toBytes("wrong-old"), toBytes("newpin99"))), CKR_PIN_INCORRECT);
    EXPECT_EQ(d.rv(setPin(s, kUserPin, toBytes("ab"))), CKR_PIN_LEN_RANGE);
    EXPECT_EQ(d.rv(setPin(s, kUserPin, toBytes("newpin99"))), CKR_OK);
    EXPECT_EQ(d.rv(setPin(d.open(false), toBytes("newpin99"), kUserPin)), CKR_SESSION_READ_ONLY);
    EXPECT_EQ(d.rv(Call(kCloseAll)), CKR_OK);
    s = d.open();
    EXPECT_EQ(d.login(s, CKU_USER, kUserPin), CKR_PIN_INCORRECT);
    EXPECT_EQ(d.login(s, CKU_USER, toBytes("newpin99")), CKR_OK);
    EXPECT_EQ(d.rv(Call(kLogout, s)), CKR_OK);

    EXPECT_EQ(d.login(s, CKU_SO, kSoPin), CKR_OK);
    EXPECT_EQ(d.rv(setPin(s, kSoPin, toBytes("new-so-pin"))), CKR_OK);
    EXPECT_EQ(d.rv(Call(kLogout, s)), CKR_OK);
    EXPECT_EQ(d.login(s, CKU_SO, toBytes("new-so-pin")), CKR_OK);
}

TEST_F(Persistence, TokenObjectsPinsAndCountersSurviveARestart) {
    Device d(options);
    uint32_t s = d.readyUserSession();
    uint32_t key = d.secretKey(s, CKK_AES, hex("000102030405060708090a0b0c0d0e0f"),
                               {flag(CKA_TOKEN, true), text(CKA_LABEL, "persistent")});
    Bytes before = d.crypt(s, true, mech(CKM_AES_ECB), key, Bytes(16, 0x42));
    d.create(s, {num(CKA_CLASS, CKO_DATA), text(CKA_LABEL, "session only")});
    EXPECT_EQ(d.rv(Call(kLogout, s)), CKR_OK);
    EXPECT_EQ(d.login(s, CKU_USER, toBytes("bad-pin-x")), CKR_PIN_INCORRECT);

    d.restart(options);
    EXPECT_TRUE(tokenInfo(d).flags & CKF_USER_PIN_COUNT_LOW);
    s = d.open();
    EXPECT_EQ(d.login(s, CKU_USER, kUserPin), CKR_OK);
    std::vector<uint32_t> found = d.find(s, {});
    ASSERT_EQ(found.size(), 1u);  // the key only: the session object is gone
    EXPECT_EQ(d.attribute(s, found[0], CKA_LABEL), toBytes("persistent"));
    EXPECT_EQ(d.crypt(s, true, mech(CKM_AES_ECB), found[0], Bytes(16, 0x42)), before);
}

// A state file as earlier simulators wrote it: PIN hashes by PBKDF2-HMAC-SHA-256 (2000 rounds)
// and a SHA-256 checksum, here computed with mbedtls.
TEST_F(Persistence, AStateFileOfEarlierVersionsLoads) {
    dravenholt::sim::TokenRecord record;
    record.initialized = true;
    record.label = std::string(32, ' ');
    for (auto [pin, value] : {std::pair{&record.so, kSoPin}, std::pair{&record.user, kUserPin}}) {
        pin->set = true;
        pin->salt = Bytes(16, uint8_t(value[0]));
        pin->hash.assign(32, 0);
        mbedtls_md_context_t md;
        mbedtls_md_init(&md);
        ASSERT_EQ(mbedtls_md_setup(&md, mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), 1), 0);
        ASSERT_EQ(mbedtls_pkcs5_pbkdf2_hmac(&md, value.data(), value.size(), pin->salt.data(), pin->salt.size(), 2000,
                                            32, pin->hash.data()), 0);
        mbedtls_md_free(&md);
    }
    Bytes image = dravenholt::sim::serializeState(record, {});
    Bytes checksum(32);
    mbedtls_sha256_ret(image.data(), image.size() - 32, checksum.data(), 0);
    EXPECT_EQ(Bytes(image.end() - 32, image.end()), checksum);
    std::ofstream(options.stateFile, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), long(image.size()));

    Device d(options);
    uint32_t s = d.open();
    EXPECT_EQ(d.login(s, CKU_USER, toBytes("user1235")), CKR_PIN_INCORRECT);
    EXPECT_EQ(d.login(s, CKU_USER, kUserPin), CKR_OK);
    EXPECT_EQ(d.rv(Call(kLogout, s)), CKR_OK);
    EXPECT_EQ(d.login(s, CKU_SO, kSoPin), CKR_OK);
}

TEST_F(Persistence, ADamagedStateFileIsRefusedAndLeftAsItIs) {
    Device(options).initToken();
    std::string content;
    {
        std::ifstream in(options.stateFile, std::ios::binary);
        content.assign(std::istreambuf_iterator<char>(in), {});
    }
    ASSERT_GT(content.size(), 40u);
    content[content.size() / 2] ^= 0x01;
    std::ofstream(options.stateFile, std::ios::binary | std::ios::trunc) << content;
    try {
        dravenholt::sim::Engine engine(options);
        FAIL() << "a damaged state file was accepted";
    } catch (const dravenholt::sim::EngineError& e) {
        EXPECT_NE(std::string(e.what()).find("damaged"), std::string::npos) << e.what();
    }
    std::ifstream in(options.stateFile, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), content);
}

TEST_F(Persistence, AMissingFileStartsAFreshTokenAndAnEmptyOneIsRefused) {
    EXPECT_FALSE(tokenInfo(*std::make_unique<Device>(options)).flags & CKF_TOKEN_INITIALIZED);
    EXPECT_FALSE(std::filesystem::exists(options.stateFile));
    std::ofstream(options.stateFile).close();
    EXPECT_THROW(dravenholt::sim::Engine{options}, dravenholt::sim::EngineError);
}

TEST_F(Persistence, AFailedWriteLeavesTheTokenAsItWas) {
    options.stateFile = dir.path() / "missing-directory" / "device.state";
    Device d(options);
    EXPECT_EQ(d.rv(kInit), CKR_DEVICE_ERROR);
    EXPECT_FALSE(tokenInfo(d).flags & CKF_TOKEN_INITIALIZED);
}
