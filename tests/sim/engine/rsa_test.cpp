// RSA: key generation, import, PKCS#1 v1.5, PSS, OAEP and raw operations, checked against
// mbedtls used directly and against the openssl command line.
#include <cstdlib>
#include <fstream>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>
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
    if (!label.empty()) {
        m.oaepParams->sourceDataLength = uint32_t(label.size());
        m.oaepParams->sourceData = label;
    }
    return m;
}

struct Pair {
    uint32_t pub;
    uint32_t priv;
};

Pair generated(Device& d, uint32_t s, uint32_t bits) {
    auto [pub, priv] = d.keyPair(s, mech(CKM_RSA_PKCS_KEY_PAIR_GEN), {num(CKA_MODULUS_BITS, bits), bytes(CKA_PUBLIC_EXPONENT, {1, 0, 1})}, {});
    return {pub, priv};
}

// The test key imported with only n, e and d: the token works out primes and CRT values.
Pair imported(Device& d, uint32_t s, TestRsa& key) {
    std::vector<Attribute> common = {num(CKA_KEY_TYPE, CKK_RSA), bytes(CKA_MODULUS, key.part(0)), bytes(CKA_PUBLIC_EXPONENT, key.part(1))};
    std::vector<Attribute> pub = common, priv = common;
    pub.push_back(num(CKA_CLASS, CKO_PUBLIC_KEY));
    priv.push_back(num(CKA_CLASS, CKO_PRIVATE_KEY));
    priv.push_back(bytes(CKA_PRIVATE_EXPONENT, key.part(2)));
    return {d.create(s, pub), d.create(s, priv)};
}

TestRsa publicOf(Device& d, uint32_t s, uint32_t pub) {
    return TestRsa(d.attribute(s, pub, CKA_MODULUS), d.attribute(s, pub, CKA_PUBLIC_EXPONENT));
}

}  // namespace

TEST(Rsa, GeneratedKeySignsEveryHashVariantVerifiablyByMbedtls) {
    Device d;
    uint32_t s = d.readyUserSession();
    Pair k = generated(d, s, 1024);
    EXPECT_EQ(d.attribute(s, k.pub, CKA_MODULUS_BITS), le32(1024));
    EXPECT_EQ(d.attribute(s, k.priv, CKA_LOCAL), Bytes{1});
    EXPECT_EQ(d.getAttributes(s, k.priv, {CKA_PRIVATE_EXPONENT}).rv, CKR_ATTRIBUTE_SENSITIVE);
    TestRsa key = publicOf(d, s, k.pub);
    Bytes data = toBytes("the quick brown fox");
    struct Case {
        uint32_t mechanism;
        mbedtls_md_type_t md;
    } cases[] = {{CKM_MD5_RSA_PKCS, MBEDTLS_MD_MD5},       {CKM_SHA1_RSA_PKCS, MBEDTLS_MD_SHA1},
                 {CKM_SHA224_RSA_PKCS, MBEDTLS_MD_SHA224}, {CKM_SHA256_RSA_PKCS, MBEDTLS_MD_SHA256},
                 {CKM_SHA384_RSA_PKCS, MBEDTLS_MD_SHA384}, {CKM_SHA512_RSA_PKCS, MBEDTLS_MD_SHA512}};
    for (const Case& c : cases) {
        Bytes sig = d.signData(s, mech(c.mechanism), k.priv, data);
        ASSERT_EQ(sig.size(), 128u);
        Bytes h = simref::md(c.md, data);
        EXPECT_EQ(mbedtls_rsa_pkcs1_verify(key.rsa(), nullptr, nullptr, MBEDTLS_RSA_PUBLIC, c.md, unsigned(h.size()), h.data(), sig.data()), 0)
            << c.mechanism;
        EXPECT_EQ(d.verifyData(s, mech(c.mechanism), k.pub, data, sig), CKR_OK);
        sig[5] ^= 1;
        EXPECT_EQ(d.verifyData(s, mech(c.mechanism), k.pub, data, sig), CKR_SIGNATURE_INVALID);
    }
}

TEST(Rsa, PssSignaturesVerifyWithMbedtls) {
    Device d;
    uint32_t s = d.readyUserSession();
    Pair k = generated(d, s, 2048);  // SHA-512 with a 64-byte salt needs more than 1024 bits
    TestRsa key = publicOf(d, s, k.pub);
    Bytes data = toBytes("pss message");
    struct Case {
        uint32_t mechanism, hash, mgf;
        mbedtls_md_type_t md;
    } cases[] = {{CKM_SHA1_RSA_PKCS_PSS, CKM_SHA_1, CKG_MGF1_SHA1, MBEDTLS_MD_SHA1},
                 {CKM_SHA224_RSA_PKCS_PSS, CKM_SHA224, CKG_MGF1_SHA224, MBEDTLS_MD_SHA224},
                 {CKM_SHA256_RSA_PKCS_PSS, CKM_SHA256, CKG_MGF1_SHA256, MBEDTLS_MD_SHA256},
                 {CKM_SHA384_RSA_PKCS_PSS, CKM_SHA384, CKG_MGF1_SHA384, MBEDTLS_MD_SHA384},
                 {CKM_SHA512_RSA_PKCS_PSS, CKM_SHA512, CKG_MGF1_SHA512, MBEDTLS_MD_SHA512}};
    for (const Case& c : cases) {
        uint32_t salt = uint32_t(mbedtls_md_get_size(mbedtls_md_info_from_type(c.md)));
        Mechanism m = mech(c.mechanism, pssParams(c.hash, c.mgf, salt));
        Bytes sig = d.signData(s, m, k.priv, data);
        ASSERT_EQ(sig.size(), 256u);
        Bytes h = simref::md(c.md, data);
        EXPECT_EQ(mbedtls_rsa_rsassa_pss_verify_ext(key.rsa(), nullptr, nullptr, MBEDTLS_RSA_PUBLIC, c.md, unsigned(h.size()), h.data(), c.md,
                                                    int(salt), sig.data()),
                  0)
            << c.mechanism;
        EXPECT_EQ(d.verifyData(s, m, k.pub, data, sig), CKR_OK);
    }
    // Raw PSS over a precomputed hash, masked with another hash.
    Bytes h = simref::md(MBEDTLS_MD_SHA256, data);
    Bytes sig = d.signData(s, mech(CKM_RSA_PKCS_PSS, pssParams(CKM_SHA256, CKG_MGF1_SHA1, 20)), k.priv, h);
    ASSERT_EQ(sig.size(), 256u);
    EXPECT_EQ(mbedtls_rsa_rsassa_pss_verify_ext(key.rsa(), nullptr, nullptr, MBEDTLS_RSA_PUBLIC, MBEDTLS_MD_SHA256, 32, h.data(),
                                                MBEDTLS_MD_SHA1, 20, sig.data()),
              0);
    Call init = Call(kSignInit, s).handle(k.priv);
    EXPECT_EQ(d.rv(Call(init).mech(mech(CKM_SHA256_RSA_PKCS_PSS, pssParams(CKM_SHA_1, CKG_MGF1_SHA1, 20)))), CKR_MECHANISM_PARAM_INVALID);
    EXPECT_EQ(d.rv(Call(init).mech(mech(CKM_SHA256_RSA_PKCS_PSS, Bytes(8, 0)))), CKR_MECHANISM_PARAM_INVALID);
}

TEST(Rsa, ImportedKeyGivesTheSameDeterministicSignaturesAsMbedtls) {
    TestRsa tk(1024);
    Device d;
    uint32_t s = d.readyUserSession();
    Pair k = imported(d, s, tk);
    EXPECT_EQ(d.attribute(s, k.pub, CKA_MODULUS_BITS), le32(1024));
    Bytes data = toBytes("deterministic");
    Bytes h = simref::md(MBEDTLS_MD_SHA256, data);
    Bytes expected(128);
    ASSERT_EQ(mbedtls_rsa_pkcs1_sign(tk.rsa(), mbedtls_ctr_drbg_random, tk.drbg(), MBEDTLS_RSA_PRIVATE, MBEDTLS_MD_SHA256, 32, h.data(),
                                     expected.data()),
              0);
    EXPECT_EQ(d.signData(s, mech(CKM_SHA256_RSA_PKCS), k.priv, data), expected);
    // CKM_RSA_PKCS signs a caller-made DigestInfo: with the SHA-256 prefix it is the same.
    Bytes digestInfo = hex("3031300d060960864801650304020105000420");
    digestInfo.insert(digestInfo.end(), h.begin(), h.end());
    EXPECT_EQ(d.signData(s, mech(CKM_RSA_PKCS), k.priv, digestInfo), expected);
    EXPECT_EQ(d.verifyData(s, mech(CKM_RSA_PKCS), k.pub, digestInfo, expected), CKR_OK);
}

TEST(Rsa, OaepAndPkcs1EncryptionInteroperateWithMbedtls) {
    TestRsa tk(1024);
    Device d;
    uint32_t s = d.readyUserSession();
    Pair k = imported(d, s, tk);
    Bytes message = toBytes("secret message"), label = toBytes("label");

    Bytes ct = d.crypt(s, true, oaep(CKM_SHA256, CKG_MGF1_SHA256, label), k.pub, message);
    mbedtls_rsa_set_padding(tk.rsa(), MBEDTLS_RSA_PKCS_V21, MBEDTLS_MD_SHA256);
    Bytes plain(128);
    size_t length = 0;
    ASSERT_EQ(mbedtls_rsa_rsaes_oaep_decrypt(tk.rsa(), mbedtls_ctr_drbg_random, tk.drbg(), MBEDTLS_RSA_PRIVATE, label.data(), label.size(),
                                             &length, ct.data(), plain.data(), plain.size()),
              0);
    EXPECT_EQ(Bytes(plain.begin(), plain.begin() + long(length)), message);

    Bytes theirs(128);
    ASSERT_EQ(mbedtls_rsa_rsaes_oaep_encrypt(tk.rsa(), mbedtls_ctr_drbg_random, tk.drbg(), MBEDTLS_RSA_PUBLIC, label.data(), label.size(),
                                             message.size(), message.data(), theirs.data()),
              0);
    EXPECT_EQ(d.crypt(s, false, oaep(CKM_SHA256, CKG_MGF1_SHA256, label), k.priv, theirs), message);
    ASSERT_EQ(d.rv(Call(kDecryptInit, s).mech(oaep(CKM_SHA256, CKG_MGF1_SHA256, toBytes("other"))).handle(k.priv)), CKR_OK);
    EXPECT_EQ(d.rv(Call(kDecrypt, s).data(theirs).length(256)), CKR_ENCRYPTED_DATA_INVALID);
    EXPECT_EQ(d.rv(Call(kDecryptInit, s).mech(oaep(CKM_SHA256, CKG_MGF1_SHA1, {})).handle(k.priv)), CKR_MECHANISM_PARAM_INVALID);

    mbedtls_rsa_set_padding(tk.rsa(), MBEDTLS_RSA_PKCS_V15, 0);
    ct = d.crypt(s, true, mech(CKM_RSA_PKCS), k.pub, message);
    ASSERT_EQ(mbedtls_rsa_pkcs1_decrypt(tk.rsa(), mbedtls_ctr_drbg_random, tk.drbg(), MBEDTLS_RSA_PRIVATE, &length, ct.data(), plain.data(), 128),
              0);
    EXPECT_EQ(Bytes(plain.begin(), plain.begin() + long(length)), message);
}

TEST(Rsa, RawOperationsAreTheBareModularExponentiation) {
    TestRsa tk(1024);
    Device d;
    uint32_t s = d.readyUserSession();
    Pair k = imported(d, s, tk);
    Bytes block = toBytes("raw");
    Bytes sig = d.signData(s, mech(CKM_RSA_X_509), k.priv, block);
    Bytes recovered(128), padded(125, 0);
    padded.insert(padded.end(), block.begin(), block.end());
    ASSERT_EQ(mbedtls_rsa_public(tk.rsa(), sig.data(), recovered.data()), 0);
    EXPECT_EQ(recovered, padded);
    EXPECT_EQ(d.verifyData(s, mech(CKM_RSA_X_509), k.pub, block, sig), CKR_OK);
    EXPECT_EQ(d.crypt(s, false, mech(CKM_RSA_X_509), k.priv, d.crypt(s, true, mech(CKM_RSA_X_509), k.pub, block)), padded);
}

TEST(Rsa, DecryptBufferTooSmallKeepsTheOperationAndReportsTheLength) {
    Device d;
    uint32_t s = d.readyUserSession();
    Pair k = generated(d, s, 1024);
    Bytes ct = d.crypt(s, true, mech(CKM_RSA_PKCS), k.pub, toBytes("twelve bytes"));
    ASSERT_EQ(d.rv(Call(kDecryptInit, s).mech(mech(CKM_RSA_PKCS)).handle(k.priv)), CKR_OK);
    Response small = d.call(Call(kDecrypt, s).data(ct).length(4));
    EXPECT_EQ(small.rv, CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(small.length, 12u);
    EXPECT_EQ(d.call(Call(kDecrypt, s).data(ct).length(12)).data, toBytes("twelve bytes"));
}

TEST(Rsa, KeyPairTemplatesAndKeyUsesAreChecked) {
    Device d;
    uint32_t s = d.readyUserSession();
    Call gen = Call(kGenerateKeyPair, s).mech(mech(CKM_RSA_PKCS_KEY_PAIR_GEN));
    EXPECT_EQ(d.rv(gen), CKR_TEMPLATE_INCOMPLETE);
    EXPECT_EQ(d.rv(Call(gen).templ({num(CKA_MODULUS_BITS, 512)})), CKR_KEY_SIZE_RANGE);
    EXPECT_EQ(d.rv(Call(gen).templ({num(CKA_MODULUS_BITS, 1024), num(CKA_CLASS, CKO_SECRET_KEY)})), CKR_TEMPLATE_INCONSISTENT);
    EXPECT_EQ(d.rv(Call(gen).mech(mech(CKM_DSA_KEY_PAIR_GEN))), CKR_MECHANISM_INVALID);
    Pair k = generated(d, s, 1024);
    EXPECT_EQ(d.rv(Call(kSignInit, s).mech(mech(CKM_SHA256_RSA_PKCS)).handle(k.pub)), CKR_KEY_FUNCTION_NOT_PERMITTED);
    EXPECT_EQ(d.rv(Call(kEncryptInit, s).mech(mech(CKM_RSA_PKCS)).handle(k.priv)), CKR_KEY_FUNCTION_NOT_PERMITTED);
}

TEST(Rsa, Sha256PssSignatureVerifiesWithTheOpensslCommandLine) {
    if (std::system("openssl version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no openssl command";
    Device d;
    uint32_t s = d.readyUserSession();
    Pair k = generated(d, s, 2048);
    TestRsa key = publicOf(d, s, k.pub);
    mbedtls_pk_context pk;
    mbedtls_pk_init(&pk);
    mbedtls_pk_setup(&pk, mbedtls_pk_info_from_type(MBEDTLS_PK_RSA));
    mbedtls_rsa_copy(mbedtls_pk_rsa(pk), key.rsa());
    unsigned char pem[4096];
    ASSERT_EQ(mbedtls_pk_write_pubkey_pem(&pk, pem, sizeof pem), 0);
    mbedtls_pk_free(&pk);

    TempDir dir;
    Bytes data = toBytes("checked by openssl");
    Bytes sig = d.signData(s, mech(CKM_SHA256_RSA_PKCS_PSS, pssParams(CKM_SHA256, CKG_MGF1_SHA256, 32)), k.priv, data);
    auto put = [&dir](const char* name, const Bytes& b) {
        std::ofstream(dir.path() / name, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), long(b.size()));
    };
    std::ofstream(dir.path() / "pub.pem") << reinterpret_cast<const char*>(pem);
    put("data", data);
    put("sig", sig);
    std::string cmd = "cd '" + dir.path().string() +
                      "' && openssl dgst -sha256 -sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:32 "
                      "-verify pub.pem -signature sig data >/dev/null 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
}
