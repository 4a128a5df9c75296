// Untrusted input: malformed, oversized and out-of-order requests; the rules every operation
// shares (output lengths, keys unfit for the operation); random numbers.
#include <sys/wait.h>
#include <unistd.h>

#include <set>

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
    for (uint32_t fn : {kEncrypt, kDecrypt, kEncryptUpdate, kDecryptFinal, kSign, kSignUpdate, kSignFinal, kVerify, kVerifyFinal,
                        kDigestUpdate, kDigestFinal, kDigestKey, kFindObjects, kFindFinal}) {
        EXPECT_EQ(d.rv(Call(fn, s)), CKR_OPERATION_NOT_INITIALIZED) << fn;
        EXPECT_EQ(d.rv(Call(fn, s + 100)), CKR_SESSION_HANDLE_INVALID) << fn;
        EXPECT_EQ(d.rv(Call(fn)), CKR_SESSION_HANDLE_INVALID) << fn;
    }
    for (uint32_t fn : {kEncryptInit, kSignInit, kDigestInit, kGenerateKey, kGenerateKeyPair, kWrapKey, kUnwrapKey, kDeriveKey})
        EXPECT_EQ(d.rv(Call(fn, s)), CKR_MECHANISM_INVALID) << fn;
    EXPECT_EQ(d.rv(Call(kEncryptInit, s).mech(mech(CKM_AES_ECB))), CKR_KEY_HANDLE_INVALID);
    for (uint32_t fn : {kGetAttributeValue, kSetAttributeValue, kDestroyObject, kCopyObject, kGetObjectSize})
        EXPECT_EQ(d.rv(Call(fn, s)), CKR_OBJECT_HANDLE_INVALID) << fn;
    EXPECT_EQ(d.rv(Call(kGenerateRandom, s)), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(d.rv(Call(kSeedRandom, s)), CKR_ARGUMENTS_BAD);
}

// A length query, or a buffer one byte short, reports the length and keeps the operation; the
// full buffer then gets the output and ends it. An output too long for any reply ends it.
TEST(Operations, OutputLengthRulesHoldForEveryKindOfOperation) {
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t aes = d.secretKey(s, CKK_AES, simref::pattern(16));
    uint32_t hmacKey = d.secretKey(s, CKK_GENERIC_SECRET, simref::pattern(16));
    auto [pub, priv] = d.keyPair(s, mech(CKM_RSA_PKCS_KEY_PAIR_GEN), {num(CKA_MODULUS_BITS, 1024)}, {});
    Mechanism cbcPad = mech(CKM_AES_CBC_PAD, simref::pattern(16, 3));
    Bytes message = toBytes("twelve bytes"), whole = d.crypt(s, true, cbcPad, aes, simref::pattern(40));
    struct Case {
        const char* name;
        Call init, step;
        uint32_t length;
        Bytes output;
    } cases[] = {
        {"encrypt update", Call(kEncryptInit, s).mech(cbcPad).handle(aes), Call(kEncryptUpdate, s).data(simref::pattern(40)), 32,
         Bytes(whole.begin(), whole.begin() + 32)},
        {"RSA decrypt", Call(kDecryptInit, s).mech(mech(CKM_RSA_PKCS)).handle(priv),
         Call(kDecrypt, s).data(d.crypt(s, true, mech(CKM_RSA_PKCS), pub, message)), 12, message},
        {"digest final", Call(kDigestInit, s).mech(mech(CKM_SHA384)), Call(kDigestFinal, s), 48, simref::md(MBEDTLS_MD_SHA384, {})},
        {"HMAC sign", Call(kSignInit, s).mech(mech(CKM_SHA512_HMAC)).handle(hmacKey), Call(kSign, s).data(message), 64,
         simref::hmac(MBEDTLS_MD_SHA512, simref::pattern(16), message)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(d.rv(c.init), CKR_OK);
        EXPECT_EQ(d.rv(c.init), CKR_OPERATION_ACTIVE);
        Response query = d.call(Call(c.step).lengthOnly().length(0));
        EXPECT_EQ(query.rv, CKR_OK);
        EXPECT_EQ(query.length, c.length);
        EXPECT_FALSE(query.data);
        Response small = d.call(Call(c.step).length(c.length - 1));
        EXPECT_EQ(small.rv, CKR_BUFFER_TOO_SMALL);
        EXPECT_EQ(small.length, c.length);
        EXPECT_EQ(d.call(Call(c.step).length(c.length)).data, c.output);
        if (c.step.r.function != kEncryptUpdate) {
            EXPECT_EQ(d.rv(Call(c.step).length(c.length)), CKR_OPERATION_NOT_INITIALIZED);
        }
    }
    EXPECT_EQ(d.call(Call(kEncryptFinal, s).length(16)).data, Bytes(whole.begin() + 32, whole.end()));
    ASSERT_EQ(d.rv(Call(kEncryptInit, s).mech(mech(CKM_AES_CBC_PAD, Bytes(16, 0))).handle(aes)), CKR_OK);
    Response tooLong = d.call(Call(kEncrypt, s).data(Bytes(2030, 0)));
    EXPECT_EQ(tooLong.rv, CKR_DATA_LEN_RANGE);  // refused, not truncated
    EXPECT_FALSE(tooLong.data);
    EXPECT_EQ(d.rv(Call(kEncrypt, s).data(Bytes(16, 0))), CKR_OPERATION_NOT_INITIALIZED);
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
    auto [ecPub, ecPriv] = d.keyPair(s, mech(CKM_EC_KEY_PAIR_GEN), {bytes(CKA_EC_PARAMS, hex("06082a8648ce3d030107"))}, {});
    Mechanism ecdh;
    ecdh.mechanism = CKM_ECDH1_DERIVE;
    ecdh.ecdhParams = dravenholt::wire::EcdhParams{CKD_NULL, {}, d.attribute(s, ecPub, CKA_EC_POINT)};
    const std::tuple<uint32_t, Mechanism, uint32_t, uint32_t> cases[] = {
        {kEncryptInit, mech(CKM_AES_ECB), 12345, CKR_KEY_HANDLE_INVALID},
        {kEncryptInit, mech(CKM_AES_ECB), dataObject, CKR_KEY_TYPE_INCONSISTENT},
        {kDecryptInit, mech(CKM_DES_ECB), aes, CKR_KEY_TYPE_INCONSISTENT},
        {kDecryptInit, mech(CKM_AES_CBC, Bytes(8, 0)), aes, CKR_MECHANISM_PARAM_INVALID},
        {kDecryptInit, mech(CKM_AES_ECB), noDecrypt, CKR_KEY_FUNCTION_NOT_PERMITTED},
        {kSignInit, mech(CKM_SHA256_HMAC), noSign, CKR_KEY_FUNCTION_NOT_PERMITTED},
        {kSignInit, mech(CKM_AES_CMAC), generic, CKR_KEY_TYPE_INCONSISTENT},
        {kSignInit, mech(CKM_SHA256_RSA_PKCS), pub, CKR_KEY_FUNCTION_NOT_PERMITTED},
        {kEncryptInit, mech(CKM_RSA_PKCS), priv, CKR_KEY_FUNCTION_NOT_PERMITTED},
        {kDeriveKey, ecdh, ecPriv, CKR_KEY_FUNCTION_NOT_PERMITTED},  // no CKA_DERIVE
    };
    for (const auto& [fn, m, key, rv] : cases) EXPECT_EQ(d.rv(Call(fn, s).mech(m).handle(key)), rv) << fn << " " << m.mechanism;
}

TEST(Random, BytesAreFreshAndSeedingIsAccepted) {
    Device d;
    uint32_t s = d.open(false);
    std::set<Bytes> blocks;  // every 16 bytes served, across several refills of the pool
    for (int i = 0; i < 12; ++i) {
        Response resp = d.call(Call(kGenerateRandom, s).length(1000));
        ASSERT_EQ(resp.rv, CKR_OK);
        ASSERT_EQ(resp.data->size(), 1000u);
        for (const uint8_t* at = resp.data->data(); at < resp.data->data() + 992; at += 16) blocks.insert(Bytes(at, at + 16));
    }
    EXPECT_EQ(blocks.size(), 12u * 62);
    EXPECT_EQ(d.rv(Call(kSeedRandom, s).data(Bytes(1500, 0xAB))), CKR_OK);
    EXPECT_EQ(d.rv(Call(kGenerateRandom, s).length(0)), CKR_OK);
    EXPECT_EQ(d.rv(Call(kGenerateRandom, s).length(5000)), CKR_DATA_LEN_RANGE);
}

TEST(Random, AForkedChildNeverServesWhatItsParentServes) {
    Device d;
    uint32_t s = d.open(false);
    auto draw = [&] { return *d.call(Call(kGenerateRandom, s).length(32)).data; };
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
