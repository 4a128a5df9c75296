// Digests, encryption and signatures through the exported functions, each result checked
// with mbedtls used directly.
#include <mbedtls/rsa.h>

#include "sim_fixture.h"

using namespace simint;


TEST_F(SimTest, DigestSingleAndMultiPartAcrossPieces) {
    start();
    CK_SESSION_HANDLE s = 0;
    ASSERT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &s), CKR_OK);
    Bytes data = pattern(5000);  // the library sends it in three pieces
    CK_MECHANISM sha256 = {CKM_SHA256, nullptr, 0};
    ASSERT_EQ(C_DigestInit(s, &sha256), CKR_OK);
    CK_ULONG length = 0;
    ASSERT_EQ(C_Digest(s, ptr(data), CK_ULONG(data.size()), nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 32u);
    Bytes digest(32);
    ASSERT_EQ(C_Digest(s, ptr(data), CK_ULONG(data.size()), ptr(digest), &length), CKR_OK);
    EXPECT_EQ(digest, simref::md(MBEDTLS_MD_SHA256, data));

    CK_MECHANISM sha512 = {CKM_SHA512, nullptr, 0};
    ASSERT_EQ(C_DigestInit(s, &sha512), CKR_OK);
    ASSERT_EQ(C_DigestUpdate(s, ptr(data), 1234), CKR_OK);
    Bytes rest(data.begin() + 1234, data.end());
    ASSERT_EQ(C_DigestUpdate(s, ptr(rest), CK_ULONG(rest.size())), CKR_OK);
    Bytes small(10);
    length = small.size();
    EXPECT_EQ(C_DigestFinal(s, ptr(small), &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 64u);
    Bytes full(64);
    length = full.size();
    ASSERT_EQ(C_DigestFinal(s, ptr(full), &length), CKR_OK);
    EXPECT_EQ(full, simref::md(MBEDTLS_MD_SHA512, data));
}

TEST_F(SimTest, AesEncryptionSingleAndMultiPartWithTheLengthConventions) {
    start();
    CK_SESSION_HANDLE s = readyUser();
    Bytes keyValue = pattern(32);
    CK_OBJECT_HANDLE key = secretKey(s, CKK_AES, keyValue);
    Bytes iv = pattern(16);
    CK_MECHANISM m = {CKM_AES_CBC_PAD, iv.data(), CK_ULONG(iv.size())};
    Bytes plain = pattern(100);
    Bytes expected = simref::aesCbc(keyValue, iv, simref::pkcs7(plain, 16));

    ASSERT_EQ(C_EncryptInit(s, &m, key), CKR_OK);
    CK_ULONG length = 0;
    ASSERT_EQ(C_Encrypt(s, ptr(plain), CK_ULONG(plain.size()), nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 112u);
    Bytes out(50);
    length = out.size();
    EXPECT_EQ(C_Encrypt(s, ptr(plain), CK_ULONG(plain.size()), ptr(out), &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 112u);
    out.assign(112, 0);
    ASSERT_EQ(C_Encrypt(s, ptr(plain), CK_ULONG(plain.size()), ptr(out), &length), CKR_OK);
    EXPECT_EQ(out, expected);

    ASSERT_EQ(C_DecryptInit(s, &m, key), CKR_OK);
    Bytes back(200), piece(64);
    size_t got = 0;
    for (size_t off = 0; off < expected.size(); off += 40) {
        Bytes part(expected.begin() + long(off), expected.begin() + long(std::min(expected.size(), off + 40)));
        CK_ULONG n = CK_ULONG(piece.size());
        ASSERT_EQ(C_DecryptUpdate(s, ptr(part), CK_ULONG(part.size()), ptr(piece), &n), CKR_OK);
        std::copy(piece.begin(), piece.begin() + long(n), back.begin() + long(got));
        got += n;
    }
    CK_ULONG n = CK_ULONG(piece.size());
    ASSERT_EQ(C_DecryptFinal(s, ptr(piece), &n), CKR_OK);
    std::copy(piece.begin(), piece.begin() + long(n), back.begin() + long(got));
    back.resize(got + n);
    EXPECT_EQ(back, plain);
}

TEST_F(SimTest, AesCtrParametersArriveInTheDeviceLayout) {
    start();
    CK_SESSION_HANDLE s = readyUser();
    Bytes keyValue = pattern(16);
    CK_OBJECT_HANDLE key = secretKey(s, CKK_AES, keyValue);
    CK_AES_CTR_PARAMS params{};
    params.ulCounterBits = 128;
    for (int i = 0; i < 16; ++i) params.cb[i] = uint8_t(0xF0 + i);
    CK_MECHANISM m = {CKM_AES_CTR, &params, sizeof params};
    Bytes plain = pattern(70);
    Bytes out(70);
    CK_ULONG length = CK_ULONG(out.size());
    ASSERT_EQ(C_EncryptInit(s, &m, key), CKR_OK);
    ASSERT_EQ(C_Encrypt(s, ptr(plain), CK_ULONG(plain.size()), ptr(out), &length), CKR_OK);

    Bytes expected = simref::aesCtr(keyValue, Bytes(params.cb, params.cb + 16), plain);
    EXPECT_EQ(out, expected);
}

TEST_F(SimTest, HmacSignatureOverLongDataInPieces) {
    start();
    CK_SESSION_HANDLE s = readyUser();
    Bytes keyValue = pattern(48);
    CK_OBJECT_HANDLE key = secretKey(s, CKK_GENERIC_SECRET, keyValue);
    Bytes data = pattern(4500);  // three update pieces
    CK_MECHANISM m = {CKM_SHA384_HMAC, nullptr, 0};
    ASSERT_EQ(C_SignInit(s, &m, key), CKR_OK);
    ASSERT_EQ(C_SignUpdate(s, ptr(data), CK_ULONG(data.size())), CKR_OK);
    Bytes sig(64);
    CK_ULONG length = CK_ULONG(sig.size());
    ASSERT_EQ(C_SignFinal(s, ptr(sig), &length), CKR_OK);
    sig.resize(length);
    EXPECT_EQ(sig, simref::hmac(MBEDTLS_MD_SHA384, keyValue, data));

    ASSERT_EQ(C_VerifyInit(s, &m, key), CKR_OK);
    ASSERT_EQ(C_VerifyUpdate(s, ptr(data), CK_ULONG(data.size())), CKR_OK);
    EXPECT_EQ(C_VerifyFinal(s, ptr(sig), CK_ULONG(sig.size())), CKR_OK);
    sig[0] ^= 1;
    ASSERT_EQ(C_VerifyInit(s, &m, key), CKR_OK);
    EXPECT_EQ(C_Verify(s, ptr(data), 1000, ptr(sig), CK_ULONG(sig.size())), CKR_SIGNATURE_INVALID);
}

TEST_F(SimTest, RsaPssSignatureFromTheLibraryVerifiesWithMbedtls) {
    start();
    CK_SESSION_HANDLE s = readyUser();
    auto [pub, priv] = keyPair(s, CKM_RSA_PKCS_KEY_PAIR_GEN, Template().ulong(CKA_MODULUS_BITS, 2048), {});
    Bytes n = attribute(s, pub, CKA_MODULUS), e = attribute(s, pub, CKA_PUBLIC_EXPONENT);
    CK_RSA_PKCS_PSS_PARAMS params = {CKM_SHA256, CKG_MGF1_SHA256, 32};
    CK_MECHANISM m = {CKM_SHA256_RSA_PKCS_PSS, &params, sizeof params};
    Bytes data = pattern(300);
    ASSERT_EQ(C_SignInit(s, &m, priv), CKR_OK);
    Bytes sig(512);
    CK_ULONG length = CK_ULONG(sig.size());
    ASSERT_EQ(C_Sign(s, ptr(data), CK_ULONG(data.size()), ptr(sig), &length), CKR_OK);
    ASSERT_EQ(length, 256u);
    sig.resize(length);

    mbedtls_rsa_context rsa;
    mbedtls_rsa_init(&rsa, MBEDTLS_RSA_PKCS_V21, MBEDTLS_MD_SHA256);
    mbedtls_rsa_import_raw(&rsa, n.data(), n.size(), nullptr, 0, nullptr, 0, nullptr, 0, e.data(), e.size());
    mbedtls_rsa_complete(&rsa);
    Bytes h = simref::md(MBEDTLS_MD_SHA256, data);
    EXPECT_EQ(mbedtls_rsa_rsassa_pss_verify_ext(&rsa, nullptr, nullptr, MBEDTLS_RSA_PUBLIC, MBEDTLS_MD_SHA256, 32, h.data(),
                                                MBEDTLS_MD_SHA256, 32, sig.data()),
              0);
    mbedtls_rsa_free(&rsa);

    ASSERT_EQ(C_VerifyInit(s, &m, pub), CKR_OK);
    EXPECT_EQ(C_Verify(s, ptr(data), CK_ULONG(data.size()), ptr(sig), CK_ULONG(sig.size())), CKR_OK);
}

TEST_F(SimTest, RsaOaepWithLabelThroughTheLibrary) {
    start();
    CK_SESSION_HANDLE s = readyUser();
    auto [pub, priv] = keyPair(s, CKM_RSA_PKCS_KEY_PAIR_GEN, Template().ulong(CKA_MODULUS_BITS, 1024), {});
    Bytes label = {'l', 'a', 'b'};
    CK_RSA_PKCS_OAEP_PARAMS params = {CKM_SHA256, CKG_MGF1_SHA256, CKZ_DATA_SPECIFIED, label.data(), CK_ULONG(label.size())};
    CK_MECHANISM m = {CKM_RSA_PKCS_OAEP, &params, sizeof params};
    Bytes plain = pattern(20), ct(128);
    CK_ULONG length = CK_ULONG(ct.size());
    ASSERT_EQ(C_EncryptInit(s, &m, pub), CKR_OK);
    ASSERT_EQ(C_Encrypt(s, ptr(plain), CK_ULONG(plain.size()), ptr(ct), &length), CKR_OK);
    Bytes back(128);
    length = CK_ULONG(back.size());
    ASSERT_EQ(C_DecryptInit(s, &m, priv), CKR_OK);
    ASSERT_EQ(C_Decrypt(s, ptr(ct), CK_ULONG(ct.size()), ptr(back), &length), CKR_OK);
    back.resize(length);
    EXPECT_EQ(back, plain);
}
