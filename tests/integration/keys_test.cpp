// Key generation, wrapping and derivation through the exported functions.
#include <mbedtls/ecdsa.h>

#include "sim_fixture.h"

using namespace simint;

namespace {

const Bytes kP256 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};

Bytes crypt(CK_SESSION_HANDLE s, CK_MECHANISM m, CK_OBJECT_HANDLE key, Bytes in) {
    Bytes out(in.size() + 32);
    CK_ULONG length = CK_ULONG(out.size());
    EXPECT_EQ(C_EncryptInit(s, &m, key), CKR_OK);
    EXPECT_EQ(C_Encrypt(s, in.data(), CK_ULONG(in.size()), out.data(), &length), CKR_OK);
    out.resize(length);
    return out;
}

// The uncompressed point inside the DER OCTET STRING of CKA_EC_POINT.
Bytes point(const Bytes& der) { return Bytes(der.begin() + 2, der.end()); }

}  // namespace

TEST_F(SimTest, GeneratedAesKeyStaysInsideAndWorks) {
    start();
    CK_SESSION_HANDLE s = readyUser();
    CK_MECHANISM gen = {CKM_AES_KEY_GEN, nullptr, 0};
    Template templ = Template().ulong(CKA_VALUE_LEN, 32).boolean(CKA_EXTRACTABLE, false);
    CK_OBJECT_HANDLE key = 0;
    ASSERT_EQ(C_GenerateKey(s, &gen, templ.data(), templ.size(), &key), CKR_OK);
    EXPECT_EQ(attribute(s, key, CKA_LOCAL), Bytes{CK_TRUE});
    EXPECT_EQ(attribute(s, key, CKA_NEVER_EXTRACTABLE), Bytes{CK_TRUE});
    Bytes value(32);
    CK_ATTRIBUTE get = {CKA_VALUE, value.data(), 32};
    EXPECT_EQ(C_GetAttributeValue(s, key, &get, 1), CKR_ATTRIBUTE_SENSITIVE);
    Bytes iv(16, 9);
    Bytes ct = crypt(s, {CKM_AES_CBC_PAD, iv.data(), 16}, key, pattern(40));
    EXPECT_EQ(ct.size(), 48u);

    CK_OBJECT_HANDLE kek = secretKey(s, CKK_AES, Bytes(16, 1), Template().boolean(CKA_WRAP, true));
    CK_MECHANISM ecb = {CKM_AES_ECB, nullptr, 0};
    CK_ULONG length = 0;
    EXPECT_EQ(C_WrapKey(s, &ecb, kek, key, nullptr, &length), CKR_KEY_UNEXTRACTABLE);
}

TEST_F(SimTest, WrapAndUnwrapRoundTrip) {
    start();
    CK_SESSION_HANDLE s = readyUser();
    Bytes secret = pattern(24);
    CK_OBJECT_HANDLE key = secretKey(s, CKK_AES, secret);
    CK_OBJECT_HANDLE kek = secretKey(s, CKK_AES, pattern(32), Template().boolean(CKA_WRAP, true).boolean(CKA_UNWRAP, true));
    Bytes iv(16, 0x42);
    CK_MECHANISM m = {CKM_AES_CBC_PAD, iv.data(), 16};
    CK_ULONG length = 0;
    ASSERT_EQ(C_WrapKey(s, &m, kek, key, nullptr, &length), CKR_OK);
    ASSERT_EQ(length, 32u);
    Bytes wrapped(length);
    ASSERT_EQ(C_WrapKey(s, &m, kek, key, ptr(wrapped), &length), CKR_OK);
    EXPECT_EQ(wrapped, simref::aesCbc(pattern(32), iv, simref::pkcs7(secret, 16)));

    Template templ = Template().ulong(CKA_CLASS, CKO_SECRET_KEY).ulong(CKA_KEY_TYPE, CKK_AES).boolean(CKA_SENSITIVE, false);
    CK_OBJECT_HANDLE back = 0;
    ASSERT_EQ(C_UnwrapKey(s, &m, kek, ptr(wrapped), CK_ULONG(wrapped.size()), templ.data(), templ.size(), &back), CKR_OK);
    EXPECT_EQ(attribute(s, back, CKA_VALUE), secret);
    CK_MECHANISM ecb = {CKM_AES_ECB, nullptr, 0};
    EXPECT_EQ(crypt(s, ecb, back, pattern(16)), crypt(s, ecb, key, pattern(16)));
}

TEST_F(SimTest, EcdsaAndEcdhRoundTrips) {
    start();
    CK_SESSION_HANDLE s = readyUser();
    auto [pubA, privA] = keyPair(s, CKM_EC_KEY_PAIR_GEN, Template().bytes(CKA_EC_PARAMS, kP256), Template().boolean(CKA_DERIVE, true));
    auto [pubB, privB] = keyPair(s, CKM_EC_KEY_PAIR_GEN, Template().bytes(CKA_EC_PARAMS, kP256), Template().boolean(CKA_DERIVE, true));

    // ECDSA: signed through the library, verified by mbedtls.
    Bytes hash = simref::md(MBEDTLS_MD_SHA256, pattern(100));
    CK_MECHANISM ecdsa = {CKM_ECDSA, nullptr, 0};
    Bytes sig(64);
    CK_ULONG length = CK_ULONG(sig.size());
    ASSERT_EQ(C_SignInit(s, &ecdsa, privA), CKR_OK);
    ASSERT_EQ(C_Sign(s, ptr(hash), CK_ULONG(hash.size()), ptr(sig), &length), CKR_OK);
    ASSERT_EQ(length, 64u);
    Bytes q = point(attribute(s, pubA, CKA_EC_POINT));
    mbedtls_ecp_group group;
    mbedtls_ecp_point pt;
    mbedtls_mpi r, sv;
    mbedtls_ecp_group_init(&group), mbedtls_ecp_point_init(&pt), mbedtls_mpi_init(&r), mbedtls_mpi_init(&sv);
    mbedtls_ecp_group_load(&group, MBEDTLS_ECP_DP_SECP256R1);
    mbedtls_ecp_point_read_binary(&group, &pt, q.data(), q.size());
    mbedtls_mpi_read_binary(&r, sig.data(), 32);
    mbedtls_mpi_read_binary(&sv, sig.data() + 32, 32);
    EXPECT_EQ(mbedtls_ecdsa_verify(&group, hash.data(), hash.size(), &pt, &r, &sv), 0);
    mbedtls_mpi_free(&sv), mbedtls_mpi_free(&r), mbedtls_ecp_point_free(&pt), mbedtls_ecp_group_free(&group);

    // ECDH: each side derives from the other's public point; both get the same AES key.
    auto derive = [&](CK_OBJECT_HANDLE priv, CK_OBJECT_HANDLE peer) {
        Bytes peerPoint = point(attribute(s, peer, CKA_EC_POINT));
        CK_ECDH1_DERIVE_PARAMS params = {CKD_NULL, 0, nullptr, CK_ULONG(peerPoint.size()), peerPoint.data()};
        CK_MECHANISM m = {CKM_ECDH1_DERIVE, &params, sizeof params};
        Template templ = Template().ulong(CKA_CLASS, CKO_SECRET_KEY).ulong(CKA_KEY_TYPE, CKK_AES).ulong(CKA_VALUE_LEN, 16);
        CK_OBJECT_HANDLE key = 0;
        EXPECT_EQ(C_DeriveKey(s, &m, priv, templ.data(), templ.size(), &key), CKR_OK);
        return key;
    };
    CK_OBJECT_HANDLE ab = derive(privA, pubB), ba = derive(privB, pubA);
    CK_MECHANISM ecb = {CKM_AES_ECB, nullptr, 0};
    EXPECT_EQ(crypt(s, ecb, ab, pattern(32)), crypt(s, ecb, ba, pattern(32)));
}
