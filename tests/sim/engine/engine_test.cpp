// Untrusted input (malformed, oversized, out-of-order requests, keys unfit for the operation,
// outputs too long for a reply), the token state file, and random numbers after fork().
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include <mbedtls/pkcs5.h>
#include <mbedtls/sha256.h>

#include "engine/state_file.h"
#include "harness.h"
#include "support/test_env.h"

using namespace simtest;

TEST(Robustness, MalformedOversizedUnknownAndUndeclaredRequestsGetAnError) {
    Device d;
    const std::pair<Bytes, uint32_t> cases[] = {
        {{}, CKR_ARGUMENTS_BAD},
        {{0xFF, 0xFF, 0xFF}, CKR_ARGUMENTS_BAD},
        {{0x10, 0x05}, CKR_ARGUMENTS_BAD},                    // no field 1
        {{0x08, 0x13, 0x22, 0x50, 0x01}, CKR_ARGUMENTS_BAD},  // truncated field
        {Bytes(2049, 0x08), CKR_DATA_LEN_RANGE},
        {{0x08, 0x22}, CKR_OK},                               // the bare token information request
        {{0x08, 0x22, 0x10, 0x01}, CKR_ARGUMENTS_BAD},        // with a session, which it does not declare
    };
    for (const auto& [request, rv] : cases) EXPECT_EQ(d.raw(request).rv, rv) << request.size();
    for (uint32_t id : {0u, 30u, 41u, 47u, 48u, 58u, 65u, 999u})
        EXPECT_EQ(d.rv(Call(id, 1)), CKR_FUNCTION_NOT_SUPPORTED) << id;
}

TEST(Robustness, MissingFieldsAndWrongOrderAreRefused) {
    Device d;
    uint32_t s = d.readyUserSession();
    for (uint32_t fn : {fn::Encrypt, fn::Decrypt, fn::EncryptUpdate, fn::DecryptFinal, fn::Sign, fn::SignUpdate, fn::SignFinal, fn::Verify, fn::VerifyFinal,
                        fn::DigestUpdate, fn::DigestFinal, fn::DigestKey, fn::FindObjects, fn::FindObjectsFinal}) {
        EXPECT_EQ(d.rv(Call(fn, s)), CKR_OPERATION_NOT_INITIALIZED) << fn;
        EXPECT_EQ(d.rv(Call(fn, s + 100)), CKR_SESSION_HANDLE_INVALID) << fn;
        EXPECT_EQ(d.rv(Call(fn)), CKR_SESSION_HANDLE_INVALID) << fn;
    }
    for (uint32_t fn : {fn::EncryptInit, fn::SignInit, fn::DigestInit, fn::GenerateKey, fn::GenerateKeyPair, fn::WrapKey, fn::UnwrapKey, fn::DeriveKey})
        EXPECT_EQ(d.rv(Call(fn, s)), CKR_MECHANISM_INVALID) << fn;
    for (uint32_t fn : {fn::GetAttributeValue, fn::SetAttributeValue, fn::DestroyObject, fn::CopyObject, fn::GetObjectSize})
        EXPECT_EQ(d.rv(Call(fn, s)), CKR_OBJECT_HANDLE_INVALID) << fn;
    EXPECT_EQ(d.rv(Call(fn::GenerateRandom, s)), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(d.rv(Call(fn::SeedRandom, s)), CKR_ARGUMENTS_BAD);
}

TEST(Robustness, OutputTooLongForAReplyIsRefusedNotTruncated) {
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t aes = d.secretKey(s, CKK_AES, Bytes(16, 1));
    ASSERT_EQ(d.rv(Call(fn::EncryptInit, s).mech(mech(CKM_AES_CBC_PAD, Bytes(16, 0))).handle(aes)), CKR_OK);
    Response tooLong = d.call(Call(fn::Encrypt, s).data(Bytes(2030, 0)));
    EXPECT_EQ(tooLong.rv, CKR_DATA_LEN_RANGE);
    EXPECT_FALSE(tooLong.data);
    EXPECT_EQ(d.rv(Call(fn::Encrypt, s).data(Bytes(16, 0))), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(d.rv(Call(fn::GenerateRandom, s).length(5000)), CKR_DATA_LEN_RANGE);
}

TEST(Operations, InitRefusesKeysUnfitForTheOperation) {
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t aes = d.secretKey(s, CKK_AES, Bytes(16, 1));
    uint32_t noDecrypt = d.secretKey(s, CKK_AES, Bytes(16, 2), {flag(CKA_DECRYPT, false)});
    uint32_t noSign = d.secretKey(s, CKK_GENERIC_SECRET, Bytes(16, 3), {flag(CKA_SIGN, false)});
    uint32_t generic = d.secretKey(s, CKK_GENERIC_SECRET, Bytes(16, 4));
    uint32_t dataObject = d.create(s, {num(CKA_CLASS, CKO_DATA)});
    auto keyPair = [&](uint32_t type, Attribute pub) {
        Response r = d.call(Call(fn::GenerateKeyPair, s).mech(mech(type)).templ({pub}));
        EXPECT_EQ(r.rv, CKR_OK);
        return std::pair{r.handle.value_or(0), r.handle2.value_or(0)};
    };
    auto [pub, priv] = keyPair(CKM_RSA_PKCS_KEY_PAIR_GEN, num(CKA_MODULUS_BITS, 1024));
    auto [ecPub, ecPriv] = keyPair(CKM_EC_KEY_PAIR_GEN, bytes(CKA_EC_PARAMS, {0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07}));
    Mechanism ecdh = mech(CKM_ECDH1_DERIVE);
    ecdh.ecdhParams = dravenholt::wire::EcdhParams{CKD_NULL, {}, d.attribute(s, ecPub, CKA_EC_POINT)};
    const std::tuple<uint32_t, Mechanism, uint32_t, uint32_t> cases[] = {
        {fn::EncryptInit, mech(CKM_AES_ECB), 12345, CKR_KEY_HANDLE_INVALID},
        {fn::EncryptInit, mech(CKM_AES_ECB), dataObject, CKR_KEY_TYPE_INCONSISTENT},
        {fn::DecryptInit, mech(CKM_DES_ECB), aes, CKR_KEY_TYPE_INCONSISTENT},
        {fn::DecryptInit, mech(CKM_AES_CBC, Bytes(8, 0)), aes, CKR_MECHANISM_PARAM_INVALID},
        {fn::DecryptInit, mech(CKM_AES_ECB), noDecrypt, CKR_KEY_FUNCTION_NOT_PERMITTED},
        {fn::SignInit, mech(CKM_SHA256_HMAC), noSign, CKR_KEY_FUNCTION_NOT_PERMITTED},
        {fn::SignInit, mech(CKM_AES_CMAC), generic, CKR_KEY_TYPE_INCONSISTENT},
        {fn::SignInit, mech(CKM_SHA256_RSA_PKCS), pub, CKR_KEY_FUNCTION_NOT_PERMITTED},
        {fn::EncryptInit, mech(CKM_RSA_PKCS), priv, CKR_KEY_FUNCTION_NOT_PERMITTED},
        {fn::DeriveKey, ecdh, ecPriv, CKR_KEY_FUNCTION_NOT_PERMITTED},  // no CKA_DERIVE
    };
    for (const auto& [fn, m, key, rv] : cases) EXPECT_EQ(d.rv(Call(fn, s).mech(m).handle(key)), rv) << fn << " " << m.mechanism;
}

TEST(Random, AForkedChildNeverServesWhatItsParentServes) {
    Device d;
    uint32_t s = d.open(false);
    auto draw = [&] { return *d.call(Call(fn::GenerateRandom, s).length(32)).data; };
    draw();  // the pool is filled before the fork
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Bytes bytes = draw();
        _exit(::write(pipe[1], bytes.data(), bytes.size()) == 32 ? 0 : 1);
    }
    Bytes fromChild(32);
    ASSERT_EQ(::read(pipe[0], fromChild.data(), fromChild.size()), 32);
    ::waitpid(child, nullptr, 0);
    ::close(pipe[0]);
    ::close(pipe[1]);
    EXPECT_NE(draw(), fromChild);
}

struct Persistence : ::testing::Test {
    orvotest::TestDir dir;
    dravenholt::sim::EngineOptions options;
    void SetUp() override { options.stateFile = dir.file("device.state"); }
};

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
    dir.write("device.state", std::string(image.begin(), image.end()));

    Device d(options);
    uint32_t s = d.open();
    EXPECT_EQ(d.login(s, CKU_USER, toBytes("user1235")), CKR_PIN_INCORRECT);
    EXPECT_EQ(d.login(s, CKU_USER, kUserPin), CKR_OK);
    EXPECT_EQ(d.rv(Call(fn::Logout, s)), CKR_OK);
    EXPECT_EQ(d.login(s, CKU_SO, kSoPin), CKR_OK);
}

TEST_F(Persistence, ADamagedOrEmptyStateFileIsRefusedAndLeftAsItIs) {
    Device(options).initToken();
    std::string damaged = dir.read("device.state");
    ASSERT_GT(damaged.size(), 40u);
    damaged[damaged.size() / 2] ^= 0x01;
    for (const std::string& bad : {damaged, std::string()}) {
        dir.write("device.state", bad);
        EXPECT_THROW(Engine{options}, dravenholt::sim::EngineError);
        EXPECT_EQ(dir.read("device.state"), bad);
    }
}

TEST_F(Persistence, AMissingFileStartsAFreshTokenAndAFailedWriteLeavesItAsItWas) {
    EXPECT_FALSE(Device(options).tokenInfo().flags & CKF_TOKEN_INITIALIZED);
    EXPECT_FALSE(std::filesystem::exists(options.stateFile));
    options.stateFile = dir.file("missing-directory/device.state");
    Device d(options);
    EXPECT_EQ(d.rv(Call(fn::InitToken).data(kSoPin).data2(Bytes(32, ' '))), CKR_DEVICE_ERROR);
    EXPECT_FALSE(d.tokenInfo().flags & CKF_TOKEN_INITIALIZED);
}
