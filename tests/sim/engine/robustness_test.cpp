// Untrusted input: malformed, oversized and out-of-order requests, keys unfit for the operation,
// outputs too long for a reply; random numbers after fork().
#include <sys/wait.h>
#include <unistd.h>

#include "harness.h"

using namespace simtest;

namespace {

// Feeds raw bytes; every reply must decode and fit the message limit.
Response raw(dravenholt::sim::Engine& engine, const Bytes& bytes) {
    Bytes reply = engine.process(bytes);
    EXPECT_LE(reply.size(), 2048u);
    Response resp;
    EXPECT_TRUE(dravenholt::wire::decodeResponse(reply.data(), reply.size(), resp));
    return resp;
}

}  // namespace

TEST(Robustness, MalformedOversizedAndUnknownRequestsGetAnError) {
    Device d;
    EXPECT_EQ(raw(d.engine(), {}).rv, CKR_ARGUMENTS_BAD);
    EXPECT_EQ(raw(d.engine(), {0xFF, 0xFF, 0xFF}).rv, CKR_ARGUMENTS_BAD);
    EXPECT_EQ(raw(d.engine(), {0x10, 0x05}).rv, CKR_ARGUMENTS_BAD);                    // no field 1
    EXPECT_EQ(raw(d.engine(), {0x08, 0x13, 0x22, 0x50, 0x01}).rv, CKR_ARGUMENTS_BAD);  // truncated field
    EXPECT_EQ(raw(d.engine(), Bytes(2049, 0x08)).rv, CKR_DATA_LEN_RANGE);
    EXPECT_EQ(raw(d.engine(), {0x08, 0x22}).rv, CKR_OK);  // the bare token information request
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
    EXPECT_EQ(d.rv(Call(fn::EncryptInit, s).mech(mech(CKM_AES_ECB))), CKR_KEY_HANDLE_INVALID);
    for (uint32_t fn : {fn::GetAttributeValue, fn::SetAttributeValue, fn::DestroyObject, fn::CopyObject, fn::GetObjectSize})
        EXPECT_EQ(d.rv(Call(fn, s)), CKR_OBJECT_HANDLE_INVALID) << fn;
    EXPECT_EQ(d.rv(Call(fn::GenerateRandom, s)), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(d.rv(Call(fn::SeedRandom, s)), CKR_ARGUMENTS_BAD);
}

// An output too long for any reply is refused and ends the operation, never cut short.
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
    auto [pub, priv] = d.keyPair(s, mech(CKM_RSA_PKCS_KEY_PAIR_GEN), {num(CKA_MODULUS_BITS, 1024)}, {});
    auto [ecPub, ecPriv] = d.keyPair(s, mech(CKM_EC_KEY_PAIR_GEN), {bytes(CKA_EC_PARAMS, {0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07})}, {});
    Mechanism ecdh;
    ecdh.mechanism = CKM_ECDH1_DERIVE;
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
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(pipe[0]);
    ::close(pipe[1]);
    EXPECT_NE(draw(), fromChild);
}
