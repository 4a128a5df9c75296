// Mechanism parameters that the library re-lays out for the device (AES-CTR, RSA-PSS) or takes
// apart (OAEP with a label, ECDH1): the engine must read them as the caller meant them, which
// the results checked with mbedtls show.
#include <mbedtls/rsa.h>

#include "sim_fixture.h"

using namespace simint;

namespace {

Bytes kP256 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
CK_BBOOL kYes = CK_TRUE;

}  // namespace

TEST_F(SimTest, AesCtrParametersArriveInTheDeviceLayout) {
    Bytes keyValue = pattern(16);
    CK_OBJECT_HANDLE key = secretKey(CKK_AES, keyValue);
    CK_AES_CTR_PARAMS params{};
    params.ulCounterBits = 128;
    for (int i = 0; i < 16; ++i) params.cb[i] = uint8_t(0xF0 + i);
    Bytes plain = pattern(70);
    EXPECT_EQ(encrypt({CKM_AES_CTR, &params, sizeof params}, key, plain),
              simref::aesCtr(keyValue, Bytes(params.cb, params.cb + 16), plain));
}

TEST_F(SimTest, RsaPssSignatureFromTheLibraryVerifiesWithMbedtls) {
    CK_ULONG bits = 2048;
    auto [pub, priv] = keyPair(CKM_RSA_PKCS_KEY_PAIR_GEN, {{CKA_MODULUS_BITS, &bits, sizeof bits}}, {});
    Bytes n = attribute(pub, CKA_MODULUS), e = attribute(pub, CKA_PUBLIC_EXPONENT);
    CK_RSA_PKCS_PSS_PARAMS params = {CKM_SHA256, CKG_MGF1_SHA256, 32};
    CK_MECHANISM m = {CKM_SHA256_RSA_PKCS_PSS, &params, sizeof params};
    Bytes data = pattern(300), sig(512);
    CK_ULONG length = size(sig);
    ASSERT_EQ(C_SignInit(session, &m, priv), CKR_OK);
    ASSERT_EQ(C_Sign(session, ptr(data), size(data), ptr(sig), &length), CKR_OK);
    ASSERT_EQ(length, 256u);

    mbedtls_rsa_context rsa;
    mbedtls_rsa_init(&rsa, MBEDTLS_RSA_PKCS_V21, MBEDTLS_MD_SHA256);
    mbedtls_rsa_import_raw(&rsa, n.data(), n.size(), nullptr, 0, nullptr, 0, nullptr, 0, e.data(), e.size());
    mbedtls_rsa_complete(&rsa);
    Bytes h = simref::md(MBEDTLS_MD_SHA256, data);
    EXPECT_EQ(mbedtls_rsa_rsassa_pss_verify_ext(&rsa, nullptr, nullptr, MBEDTLS_RSA_PUBLIC, MBEDTLS_MD_SHA256, 32, h.data(),
                                                MBEDTLS_MD_SHA256, 32, sig.data()),
              0);
    mbedtls_rsa_free(&rsa);
}

TEST_F(SimTest, RsaOaepWithLabelThroughTheLibrary) {
    CK_ULONG bits = 1024;
    auto [pub, priv] = keyPair(CKM_RSA_PKCS_KEY_PAIR_GEN, {{CKA_MODULUS_BITS, &bits, sizeof bits}}, {});
    Bytes label = {'l', 'a', 'b'};
    CK_RSA_PKCS_OAEP_PARAMS params = {CKM_SHA256, CKG_MGF1_SHA256, CKZ_DATA_SPECIFIED, label.data(), size(label)};
    CK_MECHANISM m = {CKM_RSA_PKCS_OAEP, &params, sizeof params};
    Bytes plain = pattern(20);
    Bytes ct = encrypt(m, pub, plain);
    ASSERT_EQ(ct.size(), 128u);
    Bytes back(128);
    CK_ULONG length = size(back);
    ASSERT_EQ(C_DecryptInit(session, &m, priv), CKR_OK);
    ASSERT_EQ(C_Decrypt(session, ptr(ct), size(ct), ptr(back), &length), CKR_OK);
    back.resize(length);
    EXPECT_EQ(back, plain);
    label[0] = 'L';  // another label: the engine saw the first one
    ASSERT_EQ(C_DecryptInit(session, &m, priv), CKR_OK);
    length = size(back);
    EXPECT_NE(C_Decrypt(session, ptr(ct), size(ct), ptr(back), &length), CKR_OK);
}

TEST_F(SimTest, EcdhBothSidesDeriveTheSameKey) {
    Attributes pubT = {{CKA_EC_PARAMS, kP256.data(), size(kP256)}}, privT = {{CKA_DERIVE, &kYes, 1}};
    auto [pubA, privA] = keyPair(CKM_EC_KEY_PAIR_GEN, pubT, privT);
    auto [pubB, privB] = keyPair(CKM_EC_KEY_PAIR_GEN, pubT, privT);
    auto derive = [&](CK_OBJECT_HANDLE priv, CK_OBJECT_HANDLE peer) {
        Bytes der = attribute(peer, CKA_EC_POINT);
        Bytes point(der.begin() + 2, der.end());  // inside the DER OCTET STRING
        CK_ECDH1_DERIVE_PARAMS params = {CKD_NULL, 0, nullptr, size(point), point.data()};
        CK_MECHANISM m = {CKM_ECDH1_DERIVE, &params, sizeof params};
        CK_ULONG cls = CKO_SECRET_KEY, type = CKK_AES, length = 16;
        CK_ATTRIBUTE templ[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_KEY_TYPE, &type, sizeof type}, {CKA_VALUE_LEN, &length, sizeof length}};
        CK_OBJECT_HANDLE key = 0;
        EXPECT_EQ(C_DeriveKey(session, &m, priv, templ, 3, &key), CKR_OK);
        return key;
    };
    CK_MECHANISM ecb = {CKM_AES_ECB, nullptr, 0};
    EXPECT_EQ(encrypt(ecb, derive(privA, pubB), pattern(32)), encrypt(ecb, derive(privB, pubA), pattern(32)));
}
