// RSA: key generation, import, PKCS#1 v1.5, PSS, OAEP and raw operations, checked against
// mbedtls used directly.
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/rsa.h>

#include "harness.h"

using namespace simtest;

namespace {

// An RSA context on the test's side: generated here (both halves known) or built from the
// modulus and exponent the engine reports.
class TestRsa {
public:
    TestRsa() {
        mbedtls_entropy_init(&entropy_);
        mbedtls_ctr_drbg_init(&drbg_);
        mbedtls_ctr_drbg_seed(&drbg_, mbedtls_entropy_func, &entropy_, nullptr, 0);
        mbedtls_rsa_init(&rsa_, MBEDTLS_RSA_PKCS_V15, 0);
    }
    explicit TestRsa(unsigned bits) : TestRsa() { EXPECT_EQ(mbedtls_rsa_gen_key(&rsa_, mbedtls_ctr_drbg_random, &drbg_, bits, 65537), 0); }
    TestRsa(const Bytes& n, const Bytes& e) : TestRsa() {
        mbedtls_rsa_import_raw(&rsa_, n.data(), n.size(), nullptr, 0, nullptr, 0, nullptr, 0, e.data(), e.size());
        mbedtls_rsa_complete(&rsa_);
    }
    ~TestRsa() {
        mbedtls_rsa_free(&rsa_);
        mbedtls_ctr_drbg_free(&drbg_);
        mbedtls_entropy_free(&entropy_);
    }
    Bytes part(int which) {  // 0 N, 1 E, 2 D
        mbedtls_mpi m;
        mbedtls_mpi_init(&m);
        mbedtls_rsa_export(&rsa_, which == 0 ? &m : nullptr, nullptr, nullptr, which == 2 ? &m : nullptr, which == 1 ? &m : nullptr);
        Bytes out(mbedtls_mpi_size(&m));
        mbedtls_mpi_write_binary(&m, out.data(), out.size());
        mbedtls_mpi_free(&m);
        return out;
    }
    mbedtls_rsa_context* rsa() { return &rsa_; }
    mbedtls_ctr_drbg_context* drbg() { return &drbg_; }

private:
    mbedtls_entropy_context entropy_;
    mbedtls_ctr_drbg_context drbg_;
    mbedtls_rsa_context rsa_;
};

Bytes pssParams(uint32_t hash, uint32_t mgf, uint32_t salt) {
    Bytes p = le32(hash), m = le32(mgf), s = le32(salt);
    p.insert(p.end(), m.begin(), m.end());
    p.insert(p.end(), s.begin(), s.end());
    return p;
}

Mechanism oaep(uint32_t hash, uint32_t mgf, const Bytes& label) {
    Mechanism m;
    m.mechanism = CKM_RSA_PKCS_OAEP;
    m.oaepParams = dravenholt::wire::OaepParams{hash, mgf, CKZ_DATA_SPECIFIED, {}, {}};
    if (!label.empty()) m.oaepParams->sourceDataLength = uint32_t(label.size()), m.oaepParams->sourceData = label;
    return m;
}

// A token key pair and the test's view of its public half.
struct Generated {
    Generated(Device& d, uint32_t s, uint32_t bits) {
        std::tie(pub, priv) = d.keyPair(s, mech(CKM_RSA_PKCS_KEY_PAIR_GEN),
                                        {num(CKA_MODULUS_BITS, bits), bytes(CKA_PUBLIC_EXPONENT, {1, 0, 1})}, {});
        key = std::make_unique<TestRsa>(d.attribute(s, pub, CKA_MODULUS), d.attribute(s, pub, CKA_PUBLIC_EXPONENT));
    }
    uint32_t pub = 0, priv = 0;
    std::unique_ptr<TestRsa> key;
};

// A key made here, imported with only n, e and d: the token works out primes and CRT values.
struct ImportedRsa : ::testing::Test {
    TestRsa tk{1024};
    Device d;
    uint32_t s = d.readyUserSession(), pub = 0, priv = 0;
    void SetUp() override {
        std::vector<Attribute> common = {num(CKA_KEY_TYPE, CKK_RSA), bytes(CKA_MODULUS, tk.part(0)), bytes(CKA_PUBLIC_EXPONENT, tk.part(1))};
        std::vector<Attribute> pubT = common, privT = common;
        pubT.push_back(num(CKA_CLASS, CKO_PUBLIC_KEY));
        privT.push_back(num(CKA_CLASS, CKO_PRIVATE_KEY));
        privT.push_back(bytes(CKA_PRIVATE_EXPONENT, tk.part(2)));
        pub = d.create(s, pubT);
        priv = d.create(s, privT);
    }
};

}  // namespace

// PKCS#1 v1.5 and PSS signatures of a generated key, each hash variant verified by mbedtls.
TEST(Rsa, GeneratedKeySignsEveryVariantVerifiablyByMbedtls) {
    Device d;
    uint32_t s = d.readyUserSession();
    Generated k(d, s, 2048);  // SHA-512 with a 64-byte salt needs more than 1024 bits
    EXPECT_EQ(d.attribute(s, k.pub, CKA_MODULUS_BITS), le32(2048));
    EXPECT_EQ(d.attribute(s, k.priv, CKA_LOCAL), Bytes{1});
    EXPECT_EQ(d.getAttributes(s, k.priv, {CKA_PRIVATE_EXPONENT}).rv, CKR_ATTRIBUTE_SENSITIVE);
    Bytes data = toBytes("the quick brown fox");
    const std::pair<uint32_t, mbedtls_md_type_t> pkcs1[] = {
        {CKM_MD5_RSA_PKCS, MBEDTLS_MD_MD5},       {CKM_SHA1_RSA_PKCS, MBEDTLS_MD_SHA1},
        {CKM_SHA224_RSA_PKCS, MBEDTLS_MD_SHA224}, {CKM_SHA256_RSA_PKCS, MBEDTLS_MD_SHA256},
        {CKM_SHA384_RSA_PKCS, MBEDTLS_MD_SHA384}, {CKM_SHA512_RSA_PKCS, MBEDTLS_MD_SHA512}};
    for (const auto& [mechanism, md] : pkcs1) {
        Bytes sig = d.signData(s, mech(mechanism), k.priv, data);
        ASSERT_EQ(sig.size(), 256u);
        Bytes h = simref::md(md, data);
        EXPECT_EQ(mbedtls_rsa_pkcs1_verify(k.key->rsa(), nullptr, nullptr, MBEDTLS_RSA_PUBLIC, md, unsigned(h.size()), h.data(), sig.data()), 0)
            << mechanism;
        EXPECT_EQ(d.verifyData(s, mech(mechanism), k.pub, data, sig), CKR_OK);
        sig[5] ^= 1;
        EXPECT_EQ(d.verifyData(s, mech(mechanism), k.pub, data, sig), CKR_SIGNATURE_INVALID);
    }
    struct Case {
        uint32_t mechanism, hash, mgf;
        mbedtls_md_type_t md, mgfMd;
        bool prehashed;
    } pss[] = {{CKM_SHA1_RSA_PKCS_PSS, CKM_SHA_1, CKG_MGF1_SHA1, MBEDTLS_MD_SHA1, MBEDTLS_MD_SHA1, false},
                 {CKM_SHA256_RSA_PKCS_PSS, CKM_SHA256, CKG_MGF1_SHA256, MBEDTLS_MD_SHA256, MBEDTLS_MD_SHA256, false},
                 {CKM_SHA512_RSA_PKCS_PSS, CKM_SHA512, CKG_MGF1_SHA512, MBEDTLS_MD_SHA512, MBEDTLS_MD_SHA512, false},
                 // Raw PSS over a precomputed hash. (mbedtls 2 hashes the salted message with the
                 // mask's hash, so it can check only PSS whose two hashes agree.)
                 {CKM_RSA_PKCS_PSS, CKM_SHA384, CKG_MGF1_SHA384, MBEDTLS_MD_SHA384, MBEDTLS_MD_SHA384, true}};
    for (const Case& c : pss) {
        uint32_t salt = uint32_t(mbedtls_md_get_size(mbedtls_md_info_from_type(c.md)));
        Mechanism m = mech(c.mechanism, pssParams(c.hash, c.mgf, salt));
        Bytes h = simref::md(c.md, data);
        Bytes sig = d.signData(s, m, k.priv, c.prehashed ? h : data);
        ASSERT_EQ(sig.size(), 256u);
        EXPECT_EQ(mbedtls_rsa_rsassa_pss_verify_ext(k.key->rsa(), nullptr, nullptr, MBEDTLS_RSA_PUBLIC, c.md, unsigned(h.size()), h.data(),
                                                    c.mgfMd, int(salt), sig.data()),
                  0)
            << c.mechanism;
        EXPECT_EQ(d.verifyData(s, m, k.pub, c.prehashed ? h : data, sig), CKR_OK);
    }
    Call init = Call(kSignInit, s).handle(k.priv);
    EXPECT_EQ(d.rv(Call(init).mech(mech(CKM_SHA256_RSA_PKCS_PSS, pssParams(CKM_SHA_1, CKG_MGF1_SHA1, 20)))), CKR_MECHANISM_PARAM_INVALID);
    EXPECT_EQ(d.rv(Call(init).mech(mech(CKM_SHA256_RSA_PKCS_PSS, Bytes(8, 0)))), CKR_MECHANISM_PARAM_INVALID);
}

TEST_F(ImportedRsa, SignaturesEqualMbedtlsOnesAndRawIsTheBareExponentiation) {
    EXPECT_EQ(d.attribute(s, pub, CKA_MODULUS_BITS), le32(1024));
    Bytes data = toBytes("deterministic");
    Bytes h = simref::md(MBEDTLS_MD_SHA256, data);
    Bytes expected(128);
    ASSERT_EQ(mbedtls_rsa_pkcs1_sign(tk.rsa(), mbedtls_ctr_drbg_random, tk.drbg(), MBEDTLS_RSA_PRIVATE, MBEDTLS_MD_SHA256, 32, h.data(),
                                     expected.data()),
              0);
    EXPECT_EQ(d.signData(s, mech(CKM_SHA256_RSA_PKCS), priv, data), expected);
    // CKM_RSA_PKCS signs a caller-made DigestInfo: with the SHA-256 prefix it is the same.
    Bytes digestInfo = hex("3031300d060960864801650304020105000420");
    digestInfo.insert(digestInfo.end(), h.begin(), h.end());
    EXPECT_EQ(d.signData(s, mech(CKM_RSA_PKCS), priv, digestInfo), expected);
    EXPECT_EQ(d.verifyData(s, mech(CKM_RSA_PKCS), pub, digestInfo, expected), CKR_OK);

    Bytes block = toBytes("raw");
    Bytes sig = d.signData(s, mech(CKM_RSA_X_509), priv, block);
    Bytes recovered(128), padded(125, 0);
    padded.insert(padded.end(), block.begin(), block.end());
    ASSERT_EQ(mbedtls_rsa_public(tk.rsa(), sig.data(), recovered.data()), 0);
    EXPECT_EQ(recovered, padded);
    EXPECT_EQ(d.verifyData(s, mech(CKM_RSA_X_509), pub, block, sig), CKR_OK);
    EXPECT_EQ(d.crypt(s, false, mech(CKM_RSA_X_509), priv, d.crypt(s, true, mech(CKM_RSA_X_509), pub, block)), padded);
}

TEST_F(ImportedRsa, OaepAndPkcs1EncryptionInteroperateWithMbedtls) {
    Bytes message = toBytes("secret message"), label = toBytes("label"), plain(128);
    size_t length = 0;
    Bytes ct = d.crypt(s, true, oaep(CKM_SHA256, CKG_MGF1_SHA256, label), pub, message);
    mbedtls_rsa_set_padding(tk.rsa(), MBEDTLS_RSA_PKCS_V21, MBEDTLS_MD_SHA256);
    ASSERT_EQ(mbedtls_rsa_rsaes_oaep_decrypt(tk.rsa(), mbedtls_ctr_drbg_random, tk.drbg(), MBEDTLS_RSA_PRIVATE, label.data(), label.size(),
                                             &length, ct.data(), plain.data(), plain.size()),
              0);
    EXPECT_EQ(Bytes(plain.begin(), plain.begin() + long(length)), message);

    Bytes theirs(128);
    ASSERT_EQ(mbedtls_rsa_rsaes_oaep_encrypt(tk.rsa(), mbedtls_ctr_drbg_random, tk.drbg(), MBEDTLS_RSA_PUBLIC, label.data(), label.size(),
                                             message.size(), message.data(), theirs.data()),
              0);
    EXPECT_EQ(d.crypt(s, false, oaep(CKM_SHA256, CKG_MGF1_SHA256, label), priv, theirs), message);
    ASSERT_EQ(d.rv(Call(kDecryptInit, s).mech(oaep(CKM_SHA256, CKG_MGF1_SHA256, toBytes("other"))).handle(priv)), CKR_OK);
    EXPECT_EQ(d.rv(Call(kDecrypt, s).data(theirs).length(256)), CKR_ENCRYPTED_DATA_INVALID);
    EXPECT_EQ(d.rv(Call(kDecryptInit, s).mech(oaep(CKM_MD5, CKG_MGF1_SHA1, {})).handle(priv)), CKR_MECHANISM_PARAM_INVALID);
    EXPECT_EQ(d.rv(Call(kDecryptInit, s).mech(oaep(CKM_SHA256, 0x99, {})).handle(priv)), CKR_MECHANISM_PARAM_INVALID);

    mbedtls_rsa_set_padding(tk.rsa(), MBEDTLS_RSA_PKCS_V15, 0);
    ct = d.crypt(s, true, mech(CKM_RSA_PKCS), pub, message);
    ASSERT_EQ(mbedtls_rsa_pkcs1_decrypt(tk.rsa(), mbedtls_ctr_drbg_random, tk.drbg(), MBEDTLS_RSA_PRIVATE, &length, ct.data(), plain.data(), 128),
              0);
    EXPECT_EQ(Bytes(plain.begin(), plain.begin() + long(length)), message);
}

TEST(Rsa, KeyPairTemplatesAndKeyUsesAreChecked) {
    Device d;
    uint32_t s = d.readyUserSession();
    Call gen = Call(kGenerateKeyPair, s).mech(mech(CKM_RSA_PKCS_KEY_PAIR_GEN));
    EXPECT_EQ(d.rv(gen), CKR_TEMPLATE_INCOMPLETE);
    EXPECT_EQ(d.rv(Call(gen).templ({num(CKA_MODULUS_BITS, 512)})), CKR_KEY_SIZE_RANGE);
    EXPECT_EQ(d.rv(Call(gen).templ({num(CKA_MODULUS_BITS, 1024), num(CKA_CLASS, CKO_SECRET_KEY)})), CKR_TEMPLATE_INCONSISTENT);
    EXPECT_EQ(d.rv(Call(gen).mech(mech(CKM_X9_42_DH_KEY_PAIR_GEN))), CKR_MECHANISM_INVALID);
}
