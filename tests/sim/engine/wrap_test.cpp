// Wrapping and unwrapping secret and private keys.
#include <mbedtls/aes.h>
#include <mbedtls/pk.h>

#include "harness.h"

using namespace simtest;

namespace {

Response wrap(Device& d, uint32_t s, const Mechanism& m, uint32_t wrapping, uint32_t key, uint32_t capacity) {
    return d.call(Call(kWrapKey, s).mech(m).handle(key).handle2(wrapping).length(capacity));
}

Response unwrap(Device& d, uint32_t s, const Mechanism& m, uint32_t unwrapping, const Bytes& wrapped, std::vector<Attribute> templ) {
    return d.call(Call(kUnwrapKey, s).mech(m).handle(unwrapping).data(wrapped).templ(std::move(templ)));
}

}  // namespace

TEST(Wrap, AesKeyWrappedWithAesCbcPadOrEcbComesBack) {
    Device d;
    uint32_t s = d.readyUserSession();
    Bytes kek = hex("000102030405060708090a0b0c0d0e0f");
    uint32_t wrapping = d.secretKey(s, CKK_AES, kek, {flag(CKA_WRAP, true), flag(CKA_UNWRAP, true)});
    Bytes secret = hex("00112233445566778899aabbccddeeff0011223344556677");
    uint32_t key = d.secretKey(s, CKK_AES, secret);
    Bytes iv(16, 0x24);
    Mechanism m = mech(CKM_AES_CBC_PAD, iv);

    Response query = d.call(Call(kWrapKey, s).mech(m).handle(key).handle2(wrapping).lengthOnly());
    EXPECT_EQ(query.rv, CKR_OK);
    EXPECT_EQ(query.length, 32u);
    EXPECT_FALSE(query.data);
    for (uint32_t capacity : {0u, 16u}) {  // a buffer without room is no query
        Response tooSmall = wrap(d, s, m, wrapping, key, capacity);
        EXPECT_EQ(tooSmall.rv, CKR_BUFFER_TOO_SMALL);
        EXPECT_EQ(tooSmall.length, 32u);
    }
    Response wrapped = wrap(d, s, m, wrapping, key, 64);
    ASSERT_EQ(wrapped.rv, CKR_OK);

    EXPECT_EQ(wrapped.data, simref::aesCbc(kek, iv, simref::pkcs7(secret, 16)));

    Response back = unwrap(d, s, m, wrapping, *wrapped.data,
                           {num(CKA_CLASS, CKO_SECRET_KEY), num(CKA_KEY_TYPE, CKK_AES), flag(CKA_SENSITIVE, false)});
    ASSERT_EQ(back.rv, CKR_OK);
    EXPECT_EQ(d.attribute(s, *back.handle, CKA_VALUE), secret);
    EXPECT_EQ(d.attribute(s, *back.handle, CKA_VALUE_LEN), le32(24));
    EXPECT_EQ(d.attribute(s, *back.handle, CKA_LOCAL), Bytes{0});
    EXPECT_EQ(d.attribute(s, *back.handle, CKA_ALWAYS_SENSITIVE), Bytes{0});

    // Unpadded, the template's length cuts the unwrapped value.
    wrapped = wrap(d, s, mech(CKM_AES_ECB), wrapping, d.secretKey(s, CKK_GENERIC_SECRET, Bytes(32, 0x5A)), 256);
    ASSERT_EQ(wrapped.rv, CKR_OK);
    back = unwrap(d, s, mech(CKM_AES_ECB), wrapping, *wrapped.data,
                  {num(CKA_CLASS, CKO_SECRET_KEY), num(CKA_KEY_TYPE, CKK_GENERIC_SECRET), num(CKA_VALUE_LEN, 20), flag(CKA_SENSITIVE, false)});
    ASSERT_EQ(back.rv, CKR_OK);
    EXPECT_EQ(d.attribute(s, *back.handle, CKA_VALUE), Bytes(20, 0x5A));
}

// The published test vectors of AES key wrap without and with padding.
TEST(Wrap, AesKeyWrapMatchesTheStandardsVectors) {
    struct Case {
        uint32_t mechanism;
        const char *kek, *key, *wrapped;
    } cases[] = {
        {CKM_AES_KEY_WRAP, "000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
         "1fa68b0a8112b447aef34bd8fb5a7b829d3e862371d2cfe5"},
        {CKM_AES_KEY_WRAP_PAD, "5840df6e29b02af1ab493b705bf16ea1ae8338f4dcc176a8",
         "c37b7e6492584340bed12207808941155068f738",
         "138bdeaa9b8fa7fc61f97742e72248ee5ae6ae5360d1ae6a5f54f373fa543b6a"},
    };
    Device d;
    uint32_t s = d.readyUserSession();
    for (const Case& c : cases) {
        uint32_t kek = d.secretKey(s, CKK_AES, hex(c.kek), {flag(CKA_WRAP, true), flag(CKA_UNWRAP, true)});
        Response wrapped = wrap(d, s, mech(c.mechanism), kek, d.secretKey(s, CKK_GENERIC_SECRET, hex(c.key)), 64);
        ASSERT_EQ(wrapped.rv, CKR_OK);
        EXPECT_EQ(toHex(*wrapped.data), c.wrapped);
        std::vector<Attribute> templ = {num(CKA_CLASS, CKO_SECRET_KEY), num(CKA_KEY_TYPE, CKK_GENERIC_SECRET),
                                        flag(CKA_SENSITIVE, false)};
        Response back = unwrap(d, s, mech(c.mechanism), kek, *wrapped.data, templ);
        ASSERT_EQ(back.rv, CKR_OK);
        EXPECT_EQ(toHex(d.attribute(s, *back.handle, CKA_VALUE)), c.key);
        Bytes tampered = *wrapped.data;
        tampered[3] ^= 1;
        EXPECT_EQ(unwrap(d, s, mech(c.mechanism), kek, tampered, templ).rv, CKR_WRAPPED_KEY_INVALID);
        EXPECT_EQ(unwrap(d, s, mech(c.mechanism), kek, Bytes(12, 0), templ).rv, CKR_WRAPPED_KEY_LEN_RANGE);
    }
}

TEST(Wrap, RulesOfWrappingAreEnforced) {
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t noWrap = d.secretKey(s, CKK_AES, Bytes(16, 1));
    uint32_t wrapping = d.secretKey(s, CKK_AES, Bytes(16, 2), {flag(CKA_WRAP, true)});
    uint32_t fixed = d.secretKey(s, CKK_AES, Bytes(16, 3), {flag(CKA_EXTRACTABLE, false)});
    uint32_t trustedOnly = d.secretKey(s, CKK_AES, Bytes(16, 4), {flag(CKA_WRAP_WITH_TRUSTED, true)});
    uint32_t key = d.secretKey(s, CKK_AES, Bytes(16, 5));
    EXPECT_EQ(wrap(d, s, mech(CKM_AES_ECB), noWrap, key, 64).rv, CKR_KEY_FUNCTION_NOT_PERMITTED);
    EXPECT_EQ(wrap(d, s, mech(CKM_AES_ECB), wrapping, fixed, 64).rv, CKR_KEY_UNEXTRACTABLE);
    EXPECT_EQ(wrap(d, s, mech(CKM_AES_ECB), wrapping, trustedOnly, 64).rv, CKR_KEY_NOT_WRAPPABLE);
    EXPECT_EQ(wrap(d, s, mech(CKM_AES_ECB), wrapping, 999, 64).rv, CKR_KEY_HANDLE_INVALID);
    EXPECT_EQ(wrap(d, s, mech(CKM_AES_ECB), 999, key, 64).rv, CKR_WRAPPING_KEY_HANDLE_INVALID);
    EXPECT_EQ(wrap(d, s, mech(CKM_AES_KEY_WRAP), wrapping, d.secretKey(s, CKK_DES, Bytes(8, 1)), 64).rv,
              CKR_KEY_SIZE_RANGE);  // below the two blocks key wrap needs
    EXPECT_EQ(wrap(d, s, mech(CKM_AES_KEY_WRAP, Bytes(4, 0xA6)), wrapping, key, 64).rv, CKR_MECHANISM_PARAM_INVALID);
    Response garbage = unwrap(d, s, mech(CKM_AES_CBC_PAD, Bytes(16, 0)), wrapping, Bytes(32, 7),
                              {num(CKA_CLASS, CKO_SECRET_KEY), num(CKA_KEY_TYPE, CKK_AES)});
    EXPECT_EQ(garbage.rv, CKR_KEY_FUNCTION_NOT_PERMITTED);  // no CKA_UNWRAP
}

TEST(Wrap, RsaPrivateKeyTravelsAsPkcs8UnderAes) {
    Device d;
    uint32_t s = d.readyUserSession();
    Bytes kekValue(32, 0x11);
    uint32_t kek = d.secretKey(s, CKK_AES, kekValue, {flag(CKA_WRAP, true), flag(CKA_UNWRAP, true)});
    auto [pub, priv] = d.keyPair(s, mech(CKM_RSA_PKCS_KEY_PAIR_GEN), {num(CKA_MODULUS_BITS, 1024)}, {});
    Bytes iv(16, 0x01);
    Response wrapped = wrap(d, s, mech(CKM_AES_CBC_PAD, iv), kek, priv, 2000);
    ASSERT_EQ(wrapped.rv, CKR_OK);

    // Decrypt independently and parse the PKCS#8 structure with mbedtls.
    Bytes plain(wrapped.data->size()), chain = iv;
    mbedtls_aes_context ctx;
    mbedtls_aes_init(&ctx);
    mbedtls_aes_setkey_dec(&ctx, kekValue.data(), 256);
    mbedtls_aes_crypt_cbc(&ctx, MBEDTLS_AES_DECRYPT, plain.size(), chain.data(), wrapped.data->data(), plain.data());
    mbedtls_aes_free(&ctx);
    plain.resize(plain.size() - plain.back());
    ASSERT_EQ(plain[0], 0x30);
    mbedtls_pk_context pk;
    mbedtls_pk_init(&pk);
    ASSERT_EQ(mbedtls_pk_parse_key(&pk, plain.data(), plain.size(), nullptr, 0), 0);
    mbedtls_mpi n;
    mbedtls_mpi_init(&n);
    mbedtls_rsa_export(mbedtls_pk_rsa(pk), &n, nullptr, nullptr, nullptr, nullptr);
    Bytes modulus(mbedtls_mpi_size(&n));
    mbedtls_mpi_write_binary(&n, modulus.data(), modulus.size());
    mbedtls_mpi_free(&n);
    mbedtls_pk_free(&pk);
    EXPECT_EQ(modulus, d.attribute(s, pub, CKA_MODULUS));

    Response back = unwrap(d, s, mech(CKM_AES_CBC_PAD, iv), kek, *wrapped.data,
                           {num(CKA_CLASS, CKO_PRIVATE_KEY), num(CKA_KEY_TYPE, CKK_RSA), flag(CKA_SIGN, true)});
    ASSERT_EQ(back.rv, CKR_OK);
    Bytes data = toBytes("signed by the unwrapped key");
    Bytes sig = d.signData(s, mech(CKM_SHA256_RSA_PKCS), *back.handle, data);
    EXPECT_EQ(d.verifyData(s, mech(CKM_SHA256_RSA_PKCS), pub, data, sig), CKR_OK);
}

TEST(Wrap, EcPrivateKeyRoundTripsAndAesKeyTravelsUnderRsaOaep) {
    Device d;
    uint32_t s = d.readyUserSession();
    uint32_t kek = d.secretKey(s, CKK_AES, Bytes(16, 0x33), {flag(CKA_WRAP, true), flag(CKA_UNWRAP, true)});
    auto [ecPub, ecPriv] = d.keyPair(s, mech(CKM_EC_KEY_PAIR_GEN), {bytes(CKA_EC_PARAMS, hex("06052b81040022"))}, {});
    Mechanism m = mech(CKM_AES_CBC_PAD, Bytes(16, 0));
    Response wrapped = wrap(d, s, m, kek, ecPriv, 2000);
    ASSERT_EQ(wrapped.rv, CKR_OK);
    Response back = unwrap(d, s, m, kek, *wrapped.data, {num(CKA_CLASS, CKO_PRIVATE_KEY), num(CKA_KEY_TYPE, CKK_EC)});
    ASSERT_EQ(back.rv, CKR_OK);
    Bytes data = toBytes("ec");
    Bytes sig = d.signData(s, mech(CKM_ECDSA_SHA384), *back.handle, data);
    EXPECT_EQ(d.verifyData(s, mech(CKM_ECDSA_SHA384), ecPub, data, sig), CKR_OK);

    auto [rsaPub, rsaPriv] = d.keyPair(s, mech(CKM_RSA_PKCS_KEY_PAIR_GEN), {num(CKA_MODULUS_BITS, 1024), flag(CKA_WRAP, true)},
                                       {flag(CKA_UNWRAP, true)});
    Mechanism oaep;
    oaep.mechanism = CKM_RSA_PKCS_OAEP;
    oaep.oaepParams = dravenholt::wire::OaepParams{CKM_SHA_1, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED, {}, {}};
    uint32_t aes = d.secretKey(s, CKK_AES, Bytes(32, 0x44));
    Response rsaWrapped = wrap(d, s, oaep, rsaPub, aes, 512);
    ASSERT_EQ(rsaWrapped.rv, CKR_OK);
    EXPECT_EQ(rsaWrapped.data->size(), 128u);
    Response rsaBack = unwrap(d, s, oaep, rsaPriv, *rsaWrapped.data,
                              {num(CKA_CLASS, CKO_SECRET_KEY), num(CKA_KEY_TYPE, CKK_AES), flag(CKA_SENSITIVE, false)});
    ASSERT_EQ(rsaBack.rv, CKR_OK);
    EXPECT_EQ(d.attribute(s, *rsaBack.handle, CKA_VALUE), Bytes(32, 0x44));
}
