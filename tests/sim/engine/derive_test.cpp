// Diffie-Hellman over a prime field and the encrypt-data derivations, checked with mbedtls.
#include <mbedtls/aes.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/des.h>
#include <mbedtls/dhm.h>
#include <mbedtls/entropy.h>

#include "harness.h"

using namespace simtest;

namespace {

Bytes mpiOut(const mbedtls_mpi& m) {
    Bytes out(mbedtls_mpi_size(&m));
    mbedtls_mpi_write_binary(&m, out.data(), out.size());
    return out;
}

Response derive(Device& d, uint32_t s, const Mechanism& m, uint32_t base, std::vector<Attribute> templ) {
    return d.call(Call(kDeriveKey, s).mech(m).handle(base).templ(std::move(templ)));
}

int testRandom(void*, unsigned char* out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = uint8_t(rand());
    return 0;
}

}  // namespace

TEST(Dh, KeyPairAndDeriveAgreeWithAnMbedtlsPeer) {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_dhm_context peer;
    mbedtls_entropy_init(&entropy);
    mbedtls_ctr_drbg_init(&drbg);
    mbedtls_dhm_init(&peer);
    mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy, nullptr, 0);
    ASSERT_EQ(mbedtls_mpi_read_string(&peer.P, 16, MBEDTLS_DHM_RFC3526_MODP_2048_P), 0);
    ASSERT_EQ(mbedtls_mpi_read_string(&peer.G, 16, MBEDTLS_DHM_RFC3526_MODP_2048_G), 0);
    peer.len = mbedtls_mpi_size(&peer.P);
    Bytes peerPublic(peer.len);
    ASSERT_EQ(mbedtls_dhm_make_public(&peer, int(peer.len), peerPublic.data(), peerPublic.size(), mbedtls_ctr_drbg_random, &drbg), 0);

    Device d;
    uint32_t s = d.readyUserSession();
    auto [pub, priv] = d.keyPair(s, mech(CKM_DH_PKCS_KEY_PAIR_GEN),
                                 {bytes(CKA_PRIME, mpiOut(peer.P)), bytes(CKA_BASE, mpiOut(peer.G))}, {flag(CKA_DERIVE, true)});
    Bytes ours = d.attribute(s, pub, CKA_VALUE);
    ASSERT_EQ(mbedtls_dhm_read_public(&peer, ours.data(), ours.size()), 0);
    Bytes expected(peer.len);
    size_t length = 0;
    ASSERT_EQ(mbedtls_dhm_calc_secret(&peer, expected.data(), expected.size(), &length, mbedtls_ctr_drbg_random, &drbg), 0);
    expected.resize(length);
    expected.insert(expected.begin(), peer.len - length, 0);

    Response r = derive(d, s, mech(CKM_DH_PKCS_DERIVE, peerPublic), priv, {flag(CKA_SENSITIVE, false)});
    ASSERT_EQ(r.rv, CKR_OK);
    EXPECT_EQ(d.attribute(s, *r.handle, CKA_VALUE), expected);
    EXPECT_EQ(derive(d, s, mech(CKM_DH_PKCS_DERIVE, Bytes{1}), priv, {}).rv, CKR_MECHANISM_PARAM_INVALID);

    mbedtls_dhm_free(&peer);
    mbedtls_ctr_drbg_free(&drbg);
    mbedtls_entropy_free(&entropy);
}

TEST(Dh, ParameterGenerationMakesASafePrime) {
    Device d;
    uint32_t s = d.readyUserSession();
    Call gen = Call(kGenerateKey, s).mech(mech(CKM_DH_PKCS_PARAMETER_GEN));
    Response r = d.call(Call(gen).templ({bytes(CKA_PRIME_BITS, Bytes{0x00, 0x04, 0, 0, 0, 0, 0, 0})}));  // a host CK_ULONG of 1024
    ASSERT_EQ(r.rv, CKR_OK);
    EXPECT_EQ(d.attribute(s, *r.handle, CKA_CLASS), le32(CKO_DOMAIN_PARAMETERS));
    EXPECT_EQ(d.attribute(s, *r.handle, CKA_BASE), Bytes{2});
    Bytes prime = d.attribute(s, *r.handle, CKA_PRIME);
    ASSERT_EQ(prime.size(), 128u);
    mbedtls_mpi p, q;
    mbedtls_mpi_init(&p);
    mbedtls_mpi_init(&q);
    mbedtls_mpi_read_binary(&p, prime.data(), prime.size());
    mbedtls_mpi_sub_int(&q, &p, 1);
    mbedtls_mpi_shift_r(&q, 1);
    EXPECT_EQ(mbedtls_mpi_bitlen(&p), 1024u);
    EXPECT_EQ(mbedtls_mpi_is_prime_ext(&p, 40, testRandom, nullptr), 0);
    EXPECT_EQ(mbedtls_mpi_is_prime_ext(&q, 40, testRandom, nullptr), 0);
    mbedtls_mpi_free(&q);
    mbedtls_mpi_free(&p);
    EXPECT_EQ(d.rv(Call(gen).templ({bytes(CKA_PRIME_BITS, le32(512))})), CKR_KEY_SIZE_RANGE);
}

TEST(EncryptData, AesCbcAndDes3EcbDerivationsEncryptTheData) {
    Device d;
    uint32_t s = d.readyUserSession();
    Bytes aesValue(32, 0x21);
    uint32_t aes = d.secretKey(s, CKK_AES, aesValue, {flag(CKA_DERIVE, true)});
    Bytes iv(16, 0x07), data(32, 0x5C);
    Bytes params = iv;
    params.insert(params.end(), data.begin(), data.end());
    Response r = derive(d, s, mech(CKM_AES_CBC_ENCRYPT_DATA, params), aes,
                        {num(CKA_KEY_TYPE, CKK_AES), num(CKA_VALUE_LEN, 32), flag(CKA_SENSITIVE, false)});
    ASSERT_EQ(r.rv, CKR_OK);
    EXPECT_EQ(d.attribute(s, *r.handle, CKA_VALUE), simref::aesCbc(aesValue, iv, data));
    EXPECT_EQ(d.attribute(s, *r.handle, CKA_ALWAYS_SENSITIVE), Bytes{0});  // the base key was readable

    Bytes desValue = hex("0123456789abcdeffedcba987654321089abcdef01234567");
    uint32_t des3 = d.secretKey(s, CKK_DES3, desValue, {flag(CKA_DERIVE, true)});
    Bytes block = hex("1122334455667788");
    r = derive(d, s, mech(CKM_DES3_ECB_ENCRYPT_DATA, block), des3, {flag(CKA_SENSITIVE, false)});
    ASSERT_EQ(r.rv, CKR_OK);
    mbedtls_des3_context dctx;
    mbedtls_des3_init(&dctx);
    mbedtls_des3_set3key_enc(&dctx, desValue.data());
    Bytes out(8);
    mbedtls_des3_crypt_ecb(&dctx, block.data(), out.data());
    mbedtls_des3_free(&dctx);
    EXPECT_EQ(d.attribute(s, *r.handle, CKA_VALUE), out);

    // A block holding a pointer and a length (12 bytes) is no data the device could use.
    EXPECT_EQ(derive(d, s, mech(CKM_AES_ECB_ENCRYPT_DATA, Bytes(12, 1)), aes, {}).rv, CKR_MECHANISM_PARAM_INVALID);
    EXPECT_EQ(derive(d, s, mech(CKM_DES_ECB_ENCRYPT_DATA, block), aes, {}).rv, CKR_KEY_TYPE_INCONSISTENT);
}
